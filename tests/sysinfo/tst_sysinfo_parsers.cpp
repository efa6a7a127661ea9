// Parsers and readers of the system monitor, fed with text and folders made by the test.
#include "TestSupport.h"
#include "sysinfo/MountTable.h"
#include "sysinfo/NetworkSampler.h"
#include "sysinfo/ProcParsers.h"
#include "sysinfo/TemperatureSensor.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace sysinfo;

namespace {

void writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    QVERIFY(f.commit());
}

// /proc/net/dev with eth0 at `ethIn`/`ethOut` and loopback and wireless at `other`.
QByteArray netDev(quint64 ethIn, quint64 ethOut, quint64 other)
{
    return QString("Inter-|   Receive |  Transmit\n face |bytes packets errs drop fifo frame "
                   "compressed multicast|bytes packets errs drop fifo colls carrier compressed\n"
                   "lo: %3 1 0 0 0 0 0 0 %3 1 0 0 0 0 0 0\n"
                   "eth0: %1 10 0 0 0 0 0 0 %2 10 0 0 0 0 0 0\n"
                   "wlan0: %3 10 0 0 0 0 0 0 %3 10 0 0 0 0 0 0\n")
        .arg(ethIn)
        .arg(ethOut)
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
    void helperOutput_data()
    {
        QTest::addColumn<char>("parser");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value"); // -1: rejected
        QTest::newRow("2048 KiB/s is 16 Mbit/s") << 'm' << "vda,2048,55" << 16.0;
        QTest::newRow("fractions, line end") << 'm' << "sda1,512.5,12\n" << 4.00390625;
        QTest::newRow("two lines at once") << 'm' << "vda,1,2\nvda,3,4" << -1.0;
        QTest::newRow("rate not a number") << 'm' << "vda,fast,50" << -1.0;
        QTest::newRow("too few parts") << 'm' << "vda,2048" << -1.0;
        QTest::newRow("GPU fraction cut") << 'g' << "Total GPU Engine Usage: 12.87%\n" << 12.0;
        QTest::newRow("GPU more lines") << 'g' << "Total GPU Engine Usage: 250%\nCPU: 40\n"
                                        << 250.0;
        QTest::newRow("GPU text before") << 'g' << "note\nTotal GPU Engine Usage: 5%" << -1.0;
        QTest::newRow("GPU no digits") << 'g' << "Total GPU Engine Usage: %" << -1.0;
        QTest::newRow("percent") << 'p' << "percent=37" << 37.0;
        QTest::newRow("percent empty") << 'p' << "percent=" << -1.0;
        QTest::newRow("percent is no result") << 'r' << "percent=40" << -1.0;
        QTest::newRow("result") << 'r' << "result=812.5" << 812.5;
        QTest::newRow("result empty") << 'r' << "result=" << -1.0;
        QTest::newRow("result is no percent") << 'p' << "result=80" << -1.0;
    }
    void helperOutput()
    {
        QFETCH(char, parser);
        QFETCH(QString, text);
        QFETCH(double, value);
        std::optional<double> got = parser == 'm' ? parseMonitorLine(text) : parseTestResult(text);
        if (parser == 'g' || parser == 'p')
            got = parser == 'g' ? parseGpuOutput(text) : parseTestPercent(text);
        QCOMPARE(got.value_or(-1), value);
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
        writeFile(sys + "/eth0/type", "1\n");
        writeFile(sys + "/wlan0/type", "1\n");
        QDir().mkpath(sys + "/wlan0/wireless");
        writeFile(sys + "/lo/type", "772\n");
        writeFile(sys + "/ppp0/type", "512\n");
        writeFile(sys + "/tun0/type", "65534\n");
        QVERIFY(NetworkSampler::isCountedInterface(sys, "eth0"));
        QVERIFY(NetworkSampler::isCountedInterface(sys, "ppp0"));
        for (const char *name : {"wlan0", "lo", "tun0", "missing"})
            QVERIFY2(!NetworkSampler::isCountedInterface(sys, name), name);
        // The 32-bit sum wrapped between the samples.
        QCOMPARE(netRate(0xFFFF0000u, 0x00010000u), (0x20000 >> 10) / 5);

        const QString dev = dir.filePath("dev");
        writeFile(dev, netDev(5120 * 100, 5120 * 40, 5120 * 999));
        NetworkSampler sampler(nullptr, dev, sys);
        // First sample: totals since "boot" / 5120.
        QVERIFY(drtest::waitUntil([&] { return sampler.downRate() == 100; }, 3000));
        QCOMPARE(sampler.upRate(), 40);
        // Wireless and loopback traffic changes; only eth0's 7 * 5120 bytes count.
        writeFile(dev, netDev(5120 * 107, 5120 * 40, 5120 * 5000));
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
        QVERIFY(MountTable::isNetworkFileSystem(t.entries()[2].fsType));
        QVERIFY(!MountTable::isNetworkFileSystem(t.entries()[1].fsType));

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
