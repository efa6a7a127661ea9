// SystemMonitor against this machine: the recording disk's mount point, the live write
// monitor, the GPU script, network disks, capacity (on a tmpfs the test mounts, root only)
// and the speed test's refusals; the speed test program on its own: its output lines, its
// refusals, and that it stays within its span and leaves nothing behind. Stopping a test
// is checked through the application (tst_storage_app).
#include "TestSupport.h"
#include "TmpfsMount.h"
#include "sysinfo/MountTable.h"
#include "sysinfo/SystemMonitor.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtTest>
#include <sys/stat.h>

namespace {

QString resFolder()
{
    return drtest::buildDir() + "/res";
}

dev_t deviceOf(const QString &path)
{
    struct stat st = {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(-1);
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QSaveFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.commit();
}

// Starts the program on `path` with every option given.
void start(QProcess &p, const QString &path, int timeMs, int blockBytes = 4096, int threads = 1)
{
    p.start(drtest::buildDir() + "/res/bin/disk/disk-speed-test",
            {"-path", path, "-bs", QString::number(blockBytes), "-time", QString::number(timeMs),
             "-thread", QString::number(threads), "-span", "10000"});
}

} // namespace

class TestSystemMonitor : public QObject
{
    Q_OBJECT

private slots:
    // Every mount of this machine: a folder that does not exist yet below its mount point
    // maps to a disk path on the same device; links and file URLs are resolved.
    void diskPathIsTheMountPointOfThePath()
    {
        SystemMonitor monitor;
        int checked = 0;
        const MountTable mounts = MountTable::read();
        for (const MountTable::Entry &e : mounts.entries()) {
            if (!QFileInfo(e.mountPoint).isDir())
                continue;
            monitor.setDiskPath(e.mountPoint + "/no/such/folder");
            QVERIFY2(deviceOf(monitor.diskPath()) == deviceOf(e.mountPoint),
                     qPrintable(e.mountPoint));
            ++checked;
        }
        QVERIFY(checked > 0);

        QTemporaryDir dir;
        QVERIFY(QFile::link("/dev/shm", dir.filePath("link")));
        monitor.setDiskPath(dir.filePath("link") + "/rec");
        QCOMPARE(deviceOf(monitor.diskPath()), deviceOf("/dev/shm"));
        monitor.setDiskPath("file://" + dir.path() + "/day%201");
        QCOMPARE(deviceOf(monitor.diskPath()), deviceOf(dir.path()));
        QCOMPARE(monitor.testFolder(), QDir(dir.path()).canonicalPath());
        monitor.setDiskPath("");
        QCOMPARE(monitor.diskPath(), QString());
    }

    // The monitor restarts only when the disk changes, and its lines reach writeSpeed().
    void liveMonitorFollowsTheDisk()
    {
        QTemporaryDir data, work;
        const MountTable mounts = MountTable::read();
        const MountTable::Entry *e = mounts.find(work.path());
        QVERIFY(e != nullptr);
        if (e->major == 0)
            QSKIP("the temporary folder is on a disk without a block device");

        SystemMonitor monitor;
        monitor.start(resFolder(), data.path());
        monitor.setDiskPath(work.filePath("a"));
        const qint64 first = monitor.monitorProcessId();
        QVERIFY(first > 0);
        monitor.setDiskPath(work.filePath("b/c")); // same disk: same monitor
        QCOMPARE(monitor.monitorProcessId(), first);

        QFile f(work.filePath("load"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(drtest::waitUntil(
            [&] {
                if (f.pos() >= 16 << 20)
                    f.seek(0); // rewriting counts as writing, and the file stays small
                f.write(QByteArray(1 << 20, 'x'));
                f.flush();
                fdatasync(f.handle());
                return monitor.writeSpeed() > 0;
            },
            8000));

        monitor.setDiskPath("/proc"); // no block device: no monitor
        QCOMPARE(monitor.monitorProcessId(), qint64(0));
        monitor.setDiskPath(work.path());
        QVERIFY(monitor.monitorProcessId() > 0 && monitor.monitorProcessId() != first);
        monitor.stop();
        QCOMPARE(monitor.monitorProcessId(), qint64(0));
    }

    // The GPU script is written once, an edited one stays in use, a deleted one comes
    // back, and a probe that still runs is not started twice.
    void gpuScriptWrittenOnceAndParsed()
    {
        QTemporaryDir data;
        SystemMonitor monitor;
        QVERIFY(!monitor.startGpuProbe()); // no data folder yet
        monitor.start(resFolder(), data.path());
        const QString script = data.path() + "/temp/gpu.sh";
        QVERIFY(monitor.startGpuProbe());
        QVERIFY(drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000));
        QVERIFY(writeFile(script, "sleep 1\necho 'Total GPU Engine Usage: 42.7%'\n"));
        QVERIFY(drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000));
        QVERIFY(!monitor.startGpuProbe()); // the edited script sleeps: still running
        QVERIFY(drtest::waitUntil([&] { return monitor.gpuUsage() == 42; }, 10000));

        QVERIFY(QFile::remove(script));
        QVERIFY(drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000));
        QFile rewritten(script);
        QVERIFY(rewritten.open(QIODevice::ReadOnly));
        QVERIFY(rewritten.readAll().contains("Total GPU Engine Usage:"));
        monitor.stop();
    }

    // A folder on a network file system: no live monitor, and the speed test writes in
    // large blocks. A stand-in test program reports the block size it was given.
    void networkFileSystemDisk()
    {
        QTemporaryDir data, res, work;
        const QString root = QDir(work.path()).canonicalPath();
        QVERIFY(QDir().mkpath(root + "/nas/rec") && QDir().mkpath(root + "/local"));
        const QString tool = res.path() + "/bin/disk/disk-speed-test";
        QVERIFY(QDir().mkpath(res.path() + "/bin/disk"));
        QVERIFY(writeFile(tool, "#!/bin/sh\necho percent=50\necho result=$4\n"));
        QVERIFY(QFile::setPermissions(tool, QFile::permissions(tool) | QFile::ExeOwner));
        QVERIFY(writeFile(work.filePath("mountinfo"),
                          QString("26 1 254:0 / / rw - ext4 /dev/vda rw\n"
                                  "50 26 0:60 / %1/nas rw - nfs4 server:/export rw\n")
                              .arg(root)
                              .toUtf8()));
        SystemMonitor monitor;
        monitor.setMountInfoPath(work.filePath("mountinfo"));
        monitor.start(res.path(), data.path());
        // Data of every finished test; with `startAgain`, the first result asks for a new
        // test at once, while the finished program is still ending.
        QList<QJsonObject> results;
        bool startAgain = false;
        connect(&monitor, &SystemMonitor::diskUpdate, &monitor, [&](const QJsonObject &ev) {
            const QJsonObject result = ev["data"].toObject();
            if (result["diskTestPercent"].toInt() != 100)
                return;
            results.append(result);
            if (startAgain && results.size() == 1) {
                QEvent start{QEvent::Type(SystemMonitor::kStartDiskTestEvent)};
                QCoreApplication::sendEvent(&monitor, &start);
            }
        });
        const auto testBlock = [&] {
            results.clear();
            if (!monitor.requestDiskTest() ||
                !drtest::waitUntil([&] { return !results.isEmpty(); }, 10000))
                return -1.0;
            return results[0]["diskMaxSpeed"].toDouble();
        };

        monitor.setDiskPath(root + "/nas/rec");
        QCOMPARE(monitor.diskPath(), root + "/nas");
        QVERIFY(monitor.isRemoteDisk());
        QCOMPARE(monitor.monitorProcessId(), qint64(0));
        QCOMPARE(testBlock(), double(SystemMonitor::kRemoteTestBlockBytes));

        monitor.setDiskPath(root + "/local");
        QCOMPARE(monitor.diskPath(), QStringLiteral("/"));
        QVERIFY(!monitor.isRemoteDisk() && monitor.monitorProcessId() > 0);
        QCOMPARE(testBlock(), double(SystemMonitor::kLocalTestBlockBytes));

        // The second test starts instead of being taken for the ending one.
        startAgain = true;
        QVERIFY(testBlock() > 0);
        QVERIFY(drtest::waitUntil([&] { return results.size() == 2; }, 10000));
        monitor.stop();
    }

    // Figures within 1 MiB of the file system's own, following what is written.
    void capacityOfTheDisk()
    {
        DR_TMPFS(tmpfs, 16);
        SystemMonitor monitor;
        double freeMiB = -1;
        bool ok = false;
        QJsonObject disk =
            monitor.diskCapacity(tmpfs.path(), freeMiB, ok).value("data")[0].toObject();
        QVERIFY(ok);
        QCOMPARE(disk["name"].toString(), tmpfs.path());
        QVERIFY(qAbs(disk["total"].toDouble() - 16.0) <= 1.0);
        QVERIFY(disk["use"].toDouble() >= 0 && disk["use"].toDouble() <= 1.0);
        QVERIFY(qAbs(freeMiB - double(tmpfs.initialFree()) / 1048576.0) <= 1.0);
        QVERIFY(disk.contains("speed"));

        QFile f(tmpfs.path() + "/four");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4 << 20, 'x')) == 4 << 20);
        f.close();
        double after = -1;
        disk = monitor.diskCapacity(tmpfs.path() + "/four", after, ok).value("data")[0].toObject();
        QVERIFY(ok);
        QVERIFY2(qAbs(freeMiB - after - 4.0) <= 1.0, qPrintable(QString::number(after)));
        QVERIFY(qAbs(disk["use"].toDouble() - 4.0) <= 1.0);

        after = -1;
        QCOMPARE(monitor.diskCapacity(tmpfs.path() + "/gone", after, ok),
                 (QJsonObject{{"result", "error"}, {"msg", "Get disk capacity failed!"}}));
        QVERIFY(!ok);
        QCOMPARE(after, -1.0);
    }

    void speedTestRefusals()
    {
        QTemporaryDir data, work;
        SystemMonitor monitor;
        QVERIFY(!monitor.requestDiskTest()); // resource folder unknown
        monitor.start(resFolder(), data.path());
        monitor.setDiskPath(work.path());
        QVERIFY(work.remove());
        QVERIFY(!monitor.requestDiskTest()); // the folder is gone
        monitor.stop();
    }

    void toolRefusesBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no path") << QStringList{"-bs", "4096"};
        QTest::newRow("missing folder") << QStringList{"-path", "/no/such/folder"};
        QTest::newRow("block too small") << QStringList{"-path", "/tmp", "-bs", "12"};
        QTest::newRow("zero time") << QStringList{"-path", "/tmp", "-time", "0"};
        QTest::newRow("unknown option") << QStringList{"-path", "/tmp", "-fast", "1"};
        QTest::newRow("value missing") << QStringList{"-path", "/tmp", "-time"};
        QTest::newRow("trailing junk") << QStringList{"-path", "/tmp", "-time", "10ms"};
    }
    void toolRefusesBadCommandLines()
    {
        QFETCH(QStringList, arguments);
        QProcess p;
        p.start(drtest::buildDir() + "/res/bin/disk/disk-speed-test", arguments);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardOutput().isEmpty()); // no progress, no result
        QVERIFY(p.readAllStandardError().startsWith("disk-speed-test: "));
    }

    // The program alone; a finished run: rising percent lines, then percent=100 and result=X;
    // nothing left.
    void toolReportsProgressAndResult_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one writer") << 1;
        QTest::newRow("three writers") << 3;
    }
    void toolReportsProgressAndResult()
    {
        QFETCH(int, threads);
        QTemporaryDir dir;
        QProcess p;
        start(p, dir.path(), 1200, 65536, threads);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines =
            QString(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() >= 4);
        int last = -1;
        for (const QString &line : lines.mid(0, lines.size() - 2)) {
            const auto m = QRegularExpression("^percent=(\\d+)$").match(line);
            QVERIFY2(m.hasMatch() && m.captured(1).toInt() > last && m.captured(1).toInt() < 100,
                     qPrintable(line));
            last = m.captured(1).toInt();
        }
        QVERIFY(last >= 50); // progress covered the run
        QCOMPARE(lines[lines.size() - 2], QStringLiteral("percent=100"));
        const auto r = QRegularExpression("^result=(\\d+\\.\\d\\d)$").match(lines.last());
        QVERIFY2(r.hasMatch() && r.captured(1).toDouble() > 0, qPrintable(lines.last()));
        QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // A long run of the program on a small disk wraps inside its span instead of filling the disk.
    void toolStaysWithinHalfTheFreeSpace()
    {
        DR_TMPFS(tmpfs, 8);
        QProcess p;
        start(p, tmpfs.path(), 1500, 1 << 20, 2);
        qint64 lowest = tmpfs.initialFree();
        QVERIFY(drtest::waitUntil(
            [&] {
                lowest = qMin(lowest, freeBytes(tmpfs.path()));
                return p.state() == QProcess::NotRunning;
            },
            20000));
        QVERIFY(p.exitCode() == 0 && p.readAllStandardOutput().contains("result="));
        QVERIFY2(lowest >= tmpfs.initialFree() / 2 - (1 << 20),
                 qPrintable(QString::number(lowest)));
        QVERIFY(tmpfs.isClean());
    }
};

QTEST_GUILESS_MAIN(TestSystemMonitor)
#include "tst_system_monitor.moc"
