// SystemMonitor against this machine: CPU and memory figures, the recording disk's mount
// point, the live write monitor, the GPU script, capacity and the speed test (the last
// two on a tmpfs the test mounts, so they need root).
#include "TestSupport.h"
#include "TmpfsMount.h"
#include "sysinfo/MountTable.h"
#include "sysinfo/SystemMonitor.h"

#include <QFile>
#include <QJsonArray>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

QString resFolder()
{
    return drtest::buildDir() + QStringLiteral("/res");
}

dev_t deviceOf(const QString &path)
{
    struct stat st = {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0)
        return dev_t(-1);
    return st.st_dev;
}

qint64 freeBytes(const QString &path)
{
    struct statvfs fs = {};
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

int percentOf(const QVariant &event)
{
    return event.toJsonObject()["data"].toObject()["diskTestPercent"].toInt(-1);
}

double speedOf(const QVariant &event)
{
    return event.toJsonObject()["data"].toObject()["diskMaxSpeed"].toDouble(-1);
}

} // namespace

class TestSystemMonitor : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv(SystemMonitor::kTestTimeVariable); }

    void cpuAndMemoryFigures()
    {
        QTemporaryDir data;
        SystemMonitor monitor;
        double total = -1;
        double used = -1;
        QVERIFY(monitor.memory(total, used));
        const double physicalMiB =
            double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
        QVERIFY2(qAbs(total - physicalMiB) < physicalMiB * 0.02,
                 qPrintable(QString("%1 vs %2").arg(total).arg(physicalMiB)));
        QVERIFY(used > 0 && used < total);

        monitor.start(resFolder(), data.path());
        QCOMPARE(monitor.cpuUsage(), 0.0); // no sample before the first second
        std::atomic<bool> spin{true};
        std::thread busy([&] {
            while (spin.load())
                ;
        });
        const bool loaded = drtest::waitUntil([&] { return monitor.cpuUsage() > 0; }, 5000);
        spin = false;
        busy.join();
        QVERIFY(loaded);
        QVERIFY(monitor.cpuUsage() <= 100 && monitor.cpuUsage() == qRound(monitor.cpuUsage()));
        monitor.stop();
    }

    // Every mount of this machine: a folder that does not exist yet below its mount point
    // maps to a disk path on the same device.
    void diskPathIsTheMountPointOfThePath()
    {
        SystemMonitor monitor;
        int checked = 0;
        const MountTable mounts = MountTable::read();
        for (const MountTable::Entry &e : mounts.entries()) {
            if (!QFileInfo(e.mountPoint).isDir())
                continue;
            monitor.setDiskPath(e.mountPoint + "/no/such/folder");
            QVERIFY2(!monitor.diskPath().isEmpty(), qPrintable(e.mountPoint));
            QCOMPARE(deviceOf(monitor.diskPath()), deviceOf(e.mountPoint));
            ++checked;
        }
        QVERIFY(checked > 0);

        QTemporaryDir dir;
        const QString shm = QStringLiteral("/dev/shm");
        if (QFileInfo(shm).isDir()) {
            QVERIFY(QFile::link(shm, dir.filePath("link")));
            monitor.setDiskPath(dir.filePath("link") + "/rec");
            QCOMPARE(deviceOf(monitor.diskPath()), deviceOf(shm)); // link followed
        }
        monitor.setDiskPath("file://" + dir.path() + "/day%201");
        QCOMPARE(deviceOf(monitor.diskPath()), deviceOf(dir.path()));
        QCOMPARE(monitor.testFolder(), QDir(dir.path()).canonicalPath());
        monitor.setDiskPath("");
        QCOMPARE(monitor.diskPath(), QString());
    }

    // The monitor restarts only when the disk changes, and its lines reach writeSpeed().
    void liveMonitorFollowsTheDisk()
    {
        QTemporaryDir data;
        QTemporaryDir work; // on the disk of the temp folder
        const MountTable::Entry *e = nullptr;
        const MountTable mounts = MountTable::read();
        e = mounts.find(work.path());
        QVERIFY(e != nullptr);
        if (e->major == 0)
            QSKIP("the temporary folder is on a disk without a block device");

        SystemMonitor monitor;
        monitor.start(resFolder(), data.path());
        monitor.setDiskPath(work.filePath("a"));
        const qint64 first = monitor.monitorProcessId();
        QVERIFY(first > 0);
        QVERIFY(QFile::exists(data.path() + "/temp/DiskMonitor.sh"));
        monitor.setDiskPath(work.filePath("b/c")); // same disk: same monitor
        QCOMPARE(monitor.monitorProcessId(), first);

        // Writes synced to the disk show up as a live rate within a few seconds.
        QFile f(work.filePath("load"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray block(1 << 20, 'x');
        const bool seen = drtest::waitUntil(
            [&] {
                f.write(block);
                f.flush();
                fdatasync(f.handle());
                return monitor.writeSpeed() > 0;
            },
            8000);
        f.close();
        QVERIFY(seen);

        monitor.setDiskPath("/proc"); // no block device: no monitor
        QCOMPARE(monitor.monitorProcessId(), qint64(0));
        monitor.setDiskPath(work.path());
        QVERIFY(monitor.monitorProcessId() > 0);
        QVERIFY(monitor.monitorProcessId() != first);
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
        QVERIFY(QFile::exists(script));
        QVERIFY(drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000));
        QCOMPARE(monitor.gpuUsage(), 0.0); // this machine has no GPU
        QVERIFY(drtest::waitUntil([&] { return monitor.startGpuProbe(); }, 10000));
        {
            QSaveFile edit(script);
            QVERIFY(edit.open(QIODevice::WriteOnly));
            edit.write("sleep 1\necho 'Total GPU Engine Usage: 42.7%'\n");
            QVERIFY(edit.commit());
        }
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

    void capacityOfTheDisk()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        SystemMonitor monitor;
        double freeMiB = -1;
        bool ok = false;
        QJsonObject reply = monitor.diskCapacity(tmpfs.path(), freeMiB, ok);
        QVERIFY(ok);
        QCOMPARE(reply["result"].toString(), QStringLiteral("ok"));
        const QJsonObject disk = reply["data"].toArray().at(0).toObject();
        QCOMPARE(disk["name"].toString(), tmpfs.path());
        QVERIFY(qAbs(disk["total"].toDouble() - 16.0) <= 1.0);
        QVERIFY(disk["use"].toDouble() >= 0 && disk["use"].toDouble() <= 1.0);
        QVERIFY(qAbs(freeMiB - double(freeBytes(tmpfs.path())) / 1048576.0) <= 1.0);
        QVERIFY(disk.contains("speed"));

        QFile f(tmpfs.path() + "/four");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4 << 20, 'x'));
        f.close();
        double after = -1;
        reply = monitor.diskCapacity(tmpfs.path() + "/four", after, ok);
        QVERIFY(ok);
        QVERIFY2(qAbs(freeMiB - after - 4.0) <= 1.0, qPrintable(QString::number(after)));
        QVERIFY(qAbs(reply["data"].toArray().at(0).toObject()["use"].toDouble() - 4.0) <= 1.0);

        after = -1;
        reply = monitor.diskCapacity(tmpfs.path() + "/gone", after, ok);
        QVERIFY(!ok);
        QCOMPARE(after, -1.0);
        QCOMPARE(reply, (QJsonObject{{"result", "error"}, {"msg", "Get disk capacity failed!"}}));
    }

    void speedTestRefusals()
    {
        QTemporaryDir data;
        QTemporaryDir work;
        SystemMonitor monitor;
        QVERIFY(!monitor.requestDiskTest()); // resource folder unknown
        monitor.start(resFolder(), data.path());
        QVERIFY(QDir().mkpath(work.filePath("rec")));
        monitor.setDiskPath(work.filePath("rec"));
        QVERIFY(QDir(work.filePath("rec")).removeRecursively());
        QVERIFY(!monitor.requestDiskTest()); // the folder is gone
        monitor.stop();
    }

    // Progress events then the result with 100; a second run's progress carries the
    // first result; the disk is as it was.
    void speedTestReportsProgressThenResult()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        qputenv(SystemMonitor::kTestTimeVariable, "1500");
        QTemporaryDir data;
        const qint64 before = freeBytes(tmpfs.path());
        SystemMonitor monitor;
        monitor.start(resFolder(), data.path());
        monitor.setDiskPath(tmpfs.path());
        QSignalSpy spy(&monitor, &SystemMonitor::diskUpdate);

        for (int run = 0; run < 2; ++run) {
            spy.clear();
            const double previous = monitor.diskTestSpeed();
            QVERIFY(monitor.requestDiskTest());
            QVERIFY(drtest::waitUntil(
                [&] { return !spy.isEmpty() && percentOf(spy.last().at(0)) == 100; }, 20000));
            QVERIFY(spy.size() >= 3);
            int last = -1;
            for (int i = 0; i < spy.size() - 1; ++i) {
                const QJsonObject ev = spy.at(i).at(0).toJsonObject();
                QCOMPARE(ev["name"].toString(), QStringLiteral("diskMaxSpeed/update"));
                QCOMPARE(ev["result"].toString(), QStringLiteral("ok"));
                QVERIFY(percentOf(ev) > last && percentOf(ev) < 100);
                QCOMPARE(speedOf(ev), previous);
                last = percentOf(ev);
            }
            QVERIFY(speedOf(spy.last().at(0)) > 0);
            QCOMPARE(speedOf(spy.last().at(0)), monitor.diskTestSpeed());
            QVERIFY(drtest::waitUntil([&] { return monitor.diskTestProcessId() == 0; }, 5000));
            QVERIFY(tmpfs.entries().isEmpty());
            QCOMPARE(freeBytes(tmpfs.path()), before);
        }
        monitor.stop();
    }

    void speedTestStopsMidway()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        QTemporaryDir data;
        const qint64 before = freeBytes(tmpfs.path());
        SystemMonitor monitor;
        monitor.start(resFolder(), data.path());
        monitor.setDiskPath(tmpfs.path());
        QSignalSpy spy(&monitor, &SystemMonitor::diskUpdate);
        QVERIFY(monitor.requestDiskTest()); // the full 60 s run
        QVERIFY(drtest::waitUntil(
            [&] { return !spy.isEmpty() && percentOf(spy.last().at(0)) >= 1; }, 10000));
        monitor.stopDiskTest();
        QVERIFY(drtest::waitUntil([&] { return monitor.diskTestProcessId() == 0; }, 5000));
        const qsizetype events = spy.size();
        QTest::qWait(1500);
        QCOMPARE(spy.size(), events);
        QVERIFY(tmpfs.entries().isEmpty());
        QCOMPARE(freeBytes(tmpfs.path()), before);
        monitor.stop();
    }
};

QTEST_GUILESS_MAIN(TestSystemMonitor)
#include "tst_system_monitor.moc"
