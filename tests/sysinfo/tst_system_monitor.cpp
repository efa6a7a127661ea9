// SystemMonitor against this machine: the live write monitor, the GPU script, and the
// recording disk's mount point and speed test block size on local and network disks; the
// speed test program's refusals of bad command lines. Capacity, progress events, the
// space a test takes and stopping it are checked through the routes (tst_storage_service,
// tst_storage_app).
#include "TestSupport.h"
#include "sysinfo/MountTable.h"
#include "sysinfo/SystemMonitor.h"

#include <QtTest>

using drtest::writeFile;

class TestSystemMonitor : public QObject
{
    Q_OBJECT

    const QString m_res = drtest::buildDir() + "/res";
    const QString m_tool = m_res + "/bin/disk/disk-speed-test";

private slots:
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
        monitor.start(m_res, data.path());
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
        monitor.start(m_res, data.path());
        const QString script = data.path() + "/temp/gpu.sh";
        const auto probeStarts = [&] {
            return drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000);
        };
        QVERIFY(monitor.startGpuProbe() && probeStarts());
        QVERIFY(writeFile(script, "sleep 1\necho 'Total GPU Engine Usage: 42.7%'\n"));
        QVERIFY(probeStarts());
        QVERIFY(!monitor.startGpuProbe()); // the edited script sleeps: still running
        QVERIFY(drtest::waitUntil([&] { return monitor.gpuUsage() == 42; }, 10000));

        QVERIFY(QFile::remove(script) && probeStarts());
        QFile rewritten(script);
        QVERIFY(rewritten.open(QIODevice::ReadOnly) &&
                rewritten.readAll().contains("Total GPU Engine Usage:"));
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
        QVERIFY(monitor.isRemoteDisk() && monitor.monitorProcessId() == 0);
        QCOMPARE(testBlock(), double(SystemMonitor::kRemoteTestBlockBytes));

        // A file URL from the web UI, for a folder that does not exist yet.
        monitor.setDiskPath("file://" + root + "/local/day%201");
        QCOMPARE(monitor.diskPath(), QStringLiteral("/"));
        QCOMPARE(monitor.testFolder(), root + "/local");
        QVERIFY(!monitor.isRemoteDisk() && monitor.monitorProcessId() > 0);
        QCOMPARE(testBlock(), double(SystemMonitor::kLocalTestBlockBytes));

        // The second test starts instead of being taken for the ending one.
        startAgain = true;
        QVERIFY(testBlock() > 0);
        QVERIFY(drtest::waitUntil([&] { return results.size() == 2; }, 10000));
        monitor.stop();
    }

    void toolRefusesBadCommandLines()
    {
        const QList<QStringList> refused{{"-bs", "4096"},                     // no path
                                         {"-path", "/no/such/folder"},        // missing folder
                                         {"-path", "/tmp", "-bs", "12"},      // block too small
                                         {"-path", "/tmp", "-fast", "1"},     // unknown option
                                         {"-path", "/tmp", "-time"},          // value missing
                                         {"-path", "/tmp", "-time", "10ms"}}; // trailing junk
        for (const QStringList &arguments : refused) {
            QProcess p;
            p.start(m_tool, arguments);
            QVERIFY(p.waitForFinished(10000));
            QVERIFY2(p.exitCode() == 1 && p.readAllStandardOutput().isEmpty() && // no progress
                         p.readAllStandardError().startsWith("disk-speed-test: "),
                     qPrintable(arguments.join(' ')));
        }
    }
};

QTEST_GUILESS_MAIN(TestSystemMonitor)
#include "tst_system_monitor.moc"
