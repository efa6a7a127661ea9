// Lookup of the crash-dump plug-in beside the executable: the test plug-ins are built as
// libcrashdump.so, and the right one leaves a marker in the folder it is initialised with.
#include "app/CrashDumpLoader.h"

#include "TestSupport.h"

#include <QFile>
#include <QtTest>

class TestCrashDumpLoader : public QObject
{
    Q_OBJECT

private slots:
    void loadsOnlyTheRightPlugin_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("right interface") << "Good" << true;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("other interface") << "Other" << false;
    }
    void loadsOnlyTheRightPlugin()
    {
        QFETCH(QString, folder);
        QFETCH(bool, loaded);
        QTemporaryDir dumps;
        QTest::ignoreMessage(QtDebugMsg,
                             loaded ? "Init crashdump plugin ok." : "Init crashdump plugin error.");
        if (!loaded)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^crash-dump plug-in:"));
        const QString plugins = drtest::buildDir() + "/tests/crashdump-plugins/";
        QCOMPARE(CrashDumpLoader::load(plugins + folder, dumps.path()), loaded);
        QCOMPARE(QFile::exists(dumps.filePath("crashdump-initialised")), loaded);
    }
};

QTEST_GUILESS_MAIN(TestCrashDumpLoader)
#include "tst_crashdumploader.moc"
