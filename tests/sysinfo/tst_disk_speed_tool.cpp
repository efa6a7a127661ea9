// The disk speed test program on its own: its output lines, its refusals, and that it
// leaves no file and no used space behind however it ends.
#include "TestSupport.h"
#include "TmpfsMount.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/statvfs.h>

namespace {

QString toolPath()
{
    return drtest::buildDir() + QStringLiteral("/res/bin/disk/disk-speed-test");
}

qint64 freeBytes(const QString &path)
{
    struct statvfs fs = {};
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

QStringList entriesOf(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                QDir::NoDotAndDotDot);
}

QStringList args(const QString &path, int timeMs, int blockBytes = 4096, int threads = 1)
{
    return {"-path",   path,
            "-bs",     QString::number(blockBytes),
            "-time",   QString::number(timeMs),
            "-thread", QString::number(threads),
            "-span",   "10000"};
}

} // namespace

class TestDiskSpeedTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFileInfo(toolPath()).isExecutable(), qPrintable(toolPath())); }

    void refusesBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no path") << QStringList{"-bs", "4096"};
        QTest::newRow("missing folder") << args("/no/such/folder", 100);
        QTest::newRow("block too small") << args("/tmp", 100, 12);
        QTest::newRow("zero time") << args("/tmp", 0);
        QTest::newRow("unknown option") << QStringList{"-path", "/tmp", "-fast", "1"};
        QTest::newRow("value missing") << QStringList{"-path", "/tmp", "-time"};
        QTest::newRow("trailing junk") << QStringList{"-path", "/tmp", "-time", "10ms"};
    }
    void refusesBadCommandLines()
    {
        QFETCH(QStringList, arguments);
        QProcess p;
        p.start(toolPath(), arguments);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardOutput().isEmpty()); // no progress, no result
        QVERIFY(p.readAllStandardError().startsWith("disk-speed-test: "));
    }

    // A finished run: rising percent lines, then percent=100 and result=X; nothing left.
    void reportsProgressAndResult_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one writer") << 1;
        QTest::newRow("three writers") << 3;
    }
    void reportsProgressAndResult()
    {
        QFETCH(int, threads);
        QTemporaryDir dir;
        QProcess p;
        p.start(toolPath(), args(dir.path(), 1200, 65536, threads));
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines =
            QString::fromLatin1(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() >= 4);
        int last = -1;
        for (int i = 0; i < lines.size() - 2; ++i) {
            const QRegularExpressionMatch m =
                QRegularExpression("^percent=(\\d+)$").match(lines[i]);
            QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
            const int percent = m.captured(1).toInt();
            QVERIFY(percent > last && percent <= 99);
            last = percent;
        }
        QVERIFY(last >= 50); // progress covered the run
        QCOMPARE(lines[lines.size() - 2], QStringLiteral("percent=100"));
        const QRegularExpressionMatch r =
            QRegularExpression("^result=(\\d+\\.\\d\\d)$").match(lines.last());
        QVERIFY2(r.hasMatch(), qPrintable(lines.last()));
        QVERIFY(r.captured(1).toDouble() > 0);
        QVERIFY(entriesOf(dir.path()).isEmpty());
    }

    // Stopped by SIGTERM (no result, exit 128+15) or SIGKILL: the file and its space are
    // gone either way. On a tmpfs the used space is exact, so the check is strict.
    void leavesNothingWhenStopped_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGKILL") << int(SIGKILL);
    }
    void leavesNothingWhenStopped()
    {
        QFETCH(int, sig);
        TmpfsMount tmpfs;
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        const qint64 before = freeBytes(tmpfs.path());
        QProcess p;
        p.start(toolPath(), args(tmpfs.path(), 60000, 1 << 20));
        QVERIFY(p.waitForStarted());
        QVERIFY(
            drtest::waitUntil([&] { return freeBytes(tmpfs.path()) < before - (2 << 20); }, 10000));
        ::kill(pid_t(p.processId()), sig);
        QVERIFY(p.waitForFinished(10000));
        if (sig == SIGTERM) {
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 128 + SIGTERM);
        } else {
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        }
        QVERIFY(!p.readAllStandardOutput().contains("result="));
        QVERIFY(tmpfs.entries().isEmpty());
        QCOMPARE(freeBytes(tmpfs.path()), before);
    }

    // A long run on a small disk wraps inside its span instead of filling the disk.
    void staysWithinHalfTheFreeSpace()
    {
        TmpfsMount tmpfs(8);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        const qint64 before = freeBytes(tmpfs.path());
        QProcess p;
        p.start(toolPath(), args(tmpfs.path(), 1500, 1 << 20, 2));
        qint64 lowest = before;
        QVERIFY(drtest::waitUntil(
            [&] {
                lowest = qMin(lowest, freeBytes(tmpfs.path()));
                return p.state() == QProcess::NotRunning;
            },
            20000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("result="));
        QVERIFY2(lowest >= before / 2 - (1 << 20), qPrintable(QString::number(lowest)));
        QCOMPARE(freeBytes(tmpfs.path()), before);
    }
};

QTEST_GUILESS_MAIN(TestDiskSpeedTool)
#include "tst_disk_speed_tool.moc"
