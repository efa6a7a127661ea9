// Parsers and readers of the system monitor, fed with text and folders made by the test.
#include "TestSupport.h"
#include "sysinfo/MountTable.h"
#include "sysinfo/NetworkSampler.h"
#include "sysinfo/ProcParsers.h"
#include "sysinfo/TemperatureSensor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace sysinfo;

namespace {

using drtest::writeFile;

// /proc/net/dev (header included) with eth0 at `ethIn` bytes received and 204800 sent,
// and loopback and wireless at `other` both ways.
QByteArray netDev(quint64 ethIn, quint64 other)
{
    return QString("Inter-|   Receive |  Transmit\n face |bytes packets errs drop fifo frame "
                   "compressed multicast|bytes packets errs drop fifo colls carrier compressed\n"
                   "lo: %2 1 0 0 0 0 0 0 %2 1 0 0 0 0 0 0\n"
                   "eth0: %1 10 0 0 0 0 0 0 204800 10 0 0 0 0 0 0\n"
                   "wlan0: %2 10 0 0 0 0 0 0 %2 10 0 0 0 0 0 0\n")
        .arg(ethIn)
        .arg(other)
        .toLatin1();
}

} // namespace

class TestSysinfoParsers : public QObject
{
    Q_OBJECT

private slots:
    // Lines of the helper programs: the live write monitor ("name,KiB/s,percentFree" to
    // Mbit/s), the GPU script, and "percent=" / "result=" of the speed test program.
    void helperOutput()
    {
        QCOMPARE(parseMonitorLine("vda,2048,55").value_or(-1), 16.0);
        QCOMPARE(parseMonitorLine("sda1,512.5,12\n").value_or(-1), 4.00390625);
        QVERIFY(!parseMonitorLine("vda,1,2\nvda,3,4")); // two lines at once
        QVERIFY(!parseMonitorLine("vda,fast,50") && !parseMonitorLine("vda,2048"));
        QCOMPARE(parseGpuOutput("Total GPU Engine Usage: 250%\nCPU: 40\n").value_or(-1), 250);
        QVERIFY(!parseGpuOutput("note\nTotal GPU Engine Usage: 5%"));
        QVERIFY(!parseGpuOutput("Total GPU Engine Usage: %"));
        QCOMPARE(parseTestPercent("percent=37").value_or(-1), 37);
        QCOMPARE(parseTestResult("result=812.5").value_or(-1), 812.5);
        for (const char *bad : {"percent=", "result=", "result=80"})
            QVERIFY2(!parseTestPercent(bad), bad);
        for (const char *bad : {"result=", "percent=", "percent=40"})
            QVERIFY2(!parseTestResult(bad), bad);
    }

    void cpuAndMemory()
    {
        const std::optional<CpuTimes> a =
            parseCpuTimes("cpu  100 20 80 700 100 0 0 0 50 0\ncpu0 50 10 40 350 50 0 0 0 0 0\n");
        QVERIFY(a.has_value());
        QCOMPARE(a->total, quint64(1000)); // guest time is already inside user
        QCOMPARE(a->idle, quint64(800));   // iowait counts as idle
        // 33 busy jiffies in 100: 33 %; 1 in 300 rounds up to 1 %; no time passed: 0 %.
        QCOMPARE(cpuUsagePercent(*a, CpuTimes{1100, 867}), 33.0);
        QCOMPARE(cpuUsagePercent(*a, CpuTimes{1300, 1099}), 1.0);
        QCOMPARE(cpuUsagePercent(*a, *a), 0.0);
        QVERIFY(!parseCpuTimes("cpu0 1 2 3 4\n") && !parseCpuTimes("cpu  x y z w v\n"));

        double total = -1, used = -1;
        QVERIFY(parseMemInfo("MemTotal:  2097152 kB\nMemFree: 1 kB\nMemAvailable:   524288 kB\n",
                             total, used));
        QCOMPARE(total, 2048.0);
        QCOMPARE(used, 1536.0);
        total = -1;
        QVERIFY(!parseMemInfo("MemTotal: 2097152 kB\n", total, used));
        QCOMPARE(total, -1.0); // untouched on failure
    }

    // The sampler counts Ethernet and PPP but not loopback, wireless or tunnels, and
    // reports the 32-bit change per second in KiB / 5.
    void networkSamplerCountsWiredOnly()
    {
        QTemporaryDir dir;
        const QString sys = dir.filePath("net");
        for (const QString &entry : QString("eth0:1 wlan0:1 lo:772 ppp0:512 tun0:65534").split(' '))
            writeFile(sys + '/' + entry.section(':', 0, 0) + "/type",
                      entry.section(':', 1).toLatin1() + '\n');
        QDir().mkpath(sys + "/wlan0/wireless");
        QVERIFY(NetworkSampler::isCountedInterface(sys, "eth0"));
        QVERIFY(NetworkSampler::isCountedInterface(sys, "ppp0"));
        for (const char *name : {"wlan0", "lo", "tun0", "missing"})
            QVERIFY2(!NetworkSampler::isCountedInterface(sys, name), name);
        // The 32-bit sum wrapped between the samples.
        QCOMPARE(netRate(0xFFFF0000u, 0x00010000u), (0x20000 >> 10) / 5);

        const QString dev = dir.filePath("dev");
        writeFile(dev, netDev(5120 * 100, 5120 * 999));
        NetworkSampler sampler(nullptr, dev, sys);
        // First sample: totals since "boot" / 5120.
        QVERIFY(drtest::waitUntil([&] { return sampler.downRate() == 100; }, 3000));
        QCOMPARE(sampler.upRate(), 40);
        // Wireless and loopback traffic changes; only eth0's 7 * 5120 bytes count.
        writeFile(dev, netDev(5120 * 107, 5120 * 5000));
        QVERIFY(drtest::waitUntil([&] { return sampler.downRate() == 7; }, 3000));
        QCOMPARE(sampler.upRate(), 0);
    }

    void mountTableFindsDeepestMount()
    {
        QTemporaryDir dir;
        const QString root = QDir(dir.path()).canonicalPath();
        for (const char *sub : {"/data/rec", "/data2", "/with space"})
            QVERIFY(QDir().mkpath(root + sub));
        QVERIFY(QFile::link(root + "/data/rec", root + "/link"));
        const QString enc = QString(root).replace(' ', "\\040");
        const QByteArray info =
            QStringLiteral("26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                           "40 26 8:1 / %1/data rw shared:5 master:2 - ext4 /dev/sda1 rw\n"
                           "41 26 0:50 / %1/with\\040space rw - nfs4 srv:/export rw\n"
                           "garbage line\n"
                           "42 40 0:51 / %1/data rw - tmpfs tmpfs rw\n")
                .arg(enc)
                .toUtf8();
        const MountTable t = MountTable::parse(info);
        QCOMPARE(t.entries().size(), 4);

        // The later mount over data hides the first; folders that do not exist yet
        // belong to the mount of their deepest existing parent.
        const MountTable::Entry *e = t.find(root + "/data/rec/not/yet");
        QVERIFY(e != nullptr);
        QCOMPARE(e->mountPoint, root + "/data");
        QCOMPARE(e->fsType, QStringLiteral("tmpfs"));
        // A sibling whose name starts like a mount point is not under it.
        QCOMPARE(t.find(root + "/data2/x")->mountPoint, QStringLiteral("/"));
        // Symbolic links are followed.
        QCOMPARE(t.find(root + "/link")->mountPoint, root + "/data");
        QCOMPARE(t.find(root + "/with space/a")->fsType, QStringLiteral("nfs4"));
        QVERIFY(t.find("relative/path") == nullptr);
        QVERIFY(MountTable::parse("").find("/") == nullptr);
    }

    void temperatureTakesHottestCpuSensor()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        QCOMPARE(TemperatureSensor::hottestCelsius(root), 0.0); // no sensors at all

        writeFile(root + "/hwmon/hwmon0/name", "coretemp\n");
        writeFile(root + "/hwmon/hwmon0/temp1_input", "45000\n");
        writeFile(root + "/hwmon/hwmon0/temp2_input", "52500\n");
        writeFile(root + "/hwmon/hwmon1/name", "nvme\n"); // not a CPU sensor
        writeFile(root + "/hwmon/hwmon1/temp1_input", "70000\n");
        writeFile(root + "/thermal/thermal_zone0/temp", "48000\n");
        writeFile(root + "/thermal/thermal_zone1/temp", "garbage\n");
        QCOMPARE(TemperatureSensor::hottestCelsius(root), 52.5);

        writeFile(root + "/thermal/thermal_zone2/temp", "61000\n");
        writeFile(root + "/thermal/thermal_zone3/temp", "999000\n"); // faulty sensor
        QCOMPARE(TemperatureSensor::hottestCelsius(root), 61.0);
    }
};

QTEST_GUILESS_MAIN(TestSysinfoParsers)
#include "tst_sysinfo_parsers.moc"
