// Lookup of the crash-dump plug-in beside the executable: the test plug-ins are built as
// libcrashdump.so, and the right one leaves a marker in the folder it is initialised with
// (a missing plug-in is the start-up test's case).
#include "app/CrashDumpLoader.h"

#include "TestSupport.h"

#include <QFile>
#include <QtTest>

class TestCrashDumpLoader : public QObject
{
    Q_OBJECT

private slots:
    void loadsOnlyTheRightPlugin()
    {
        for (const bool right : {true, false}) {
            QTemporaryDir dumps;
            QTest::ignoreMessage(QtDebugMsg, right ? "Init crashdump plugin ok."
                                                   : "Init crashdump plugin error.");
            if (!right)
                QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^crash-dump plug-in:"));
            const QString folder = drtest::buildDir() + "/tests/crashdump-plugins/";
            QCOMPARE(CrashDumpLoader::load(folder + (right ? "Good" : "Other"), dumps.path()),
                     right);
            QCOMPARE(QFile::exists(dumps.filePath("crashdump-initialised")), right);
        }
    }
};

QTEST_GUILESS_MAIN(TestCrashDumpLoader)
#include "tst_crashdumploader.moc"
