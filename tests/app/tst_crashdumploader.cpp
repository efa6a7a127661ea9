// Lookup of the crash-dump plug-in beside the executable.
#include "app/CrashDumpLoader.h"

#include "TestSupport.h"

#include <QFile>
#include <QtTest>

class TestCrashDumpLoader : public QObject
{
    Q_OBJECT

private slots:
    void fileName() { QCOMPARE(CrashDumpLoader::pluginFileName(), QString("libcrashdump.so")); }

    void loadsAndInitialisesPlugin()
    {
        QTemporaryDir dumps;
        QTest::ignoreMessage(QtDebugMsg, "Init crashdump plugin ok.");
        QVERIFY(CrashDumpLoader::load(pluginDir("good"), dumps.path()));
        QFile marker(dumps.filePath("crashdump-initialised"));
        QVERIFY(marker.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(marker.readAll()), dumps.path());
    }

    void refusesMissingOrForeignPlugin_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("missing") << QString("missing");
        QTest::newRow("other interface") << QString("other");
    }
    void refusesMissingOrForeignPlugin()
    {
        QFETCH(QString, folder);
        QTemporaryDir dumps;
        QTest::ignoreMessage(QtDebugMsg, "Init crashdump plugin error.");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^crash-dump plug-in:"));
        QVERIFY(!CrashDumpLoader::load(pluginDir(folder), dumps.path()));
        QVERIFY(!QFile::exists(dumps.filePath("crashdump-initialised")));
    }

private:
    static QString pluginDir(const QString &kind)
    {
        return drtest::buildDir() + "/tests/crashdump-plugins/" + kind;
    }
};

QTEST_GUILESS_MAIN(TestCrashDumpLoader)
#include "tst_crashdumploader.moc"
