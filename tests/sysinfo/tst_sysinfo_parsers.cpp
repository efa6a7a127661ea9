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

QByteArray netDev(quint64 ethIn, quint64 ethOut, quint64 wlanIn, quint64 loIn)
{
    return QStringLiteral(
               "Inter-|   Receive                                                |  Transmit\n"
               " face |bytes    packets errs drop fifo frame compressed multicast|bytes    "
               "packets errs drop fifo colls carrier compressed\n"
               "    lo: %4 1 0 0 0 0 0 0 %4 1 0 0 0 0 0 0\n"
               "  eth0: %1 10 0 0 0 0 0 0 %2 10 0 0 0 0 0 0\n"
               " wlan0: %3 10 0 0 0 0 0 0 %3 10 0 0 0 0 0 0\n"
               "  ppp0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
               "  tun0: %3 10 0 0 0 0 0 0 %3 10 0 0 0 0 0 0\n")
        .arg(ethIn)
        .arg(ethOut)
        .arg(wlanIn)
        .arg(loIn)
        .toLatin1();
}

} // namespace

class TestSysinfoParsers : public QObject
{
    Q_OBJECT

private slots:
    void monitorLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("mbits");
        QTest::newRow("2048 KiB/s is 16 Mbit/s") << "vda,2048,55" << true << 16.0;
        QTest::newRow("fractions and line end") << "sda1,512.5,12\n" << true << 4.00390625;
        QTest::newRow("idle disk") << "nvme0n1,0,80" << true << 0.0;
        QTest::newRow("two lines at once") << "vda,1,2\nvda,3,4" << false << 0.0;
        QTest::newRow("rate not a number") << "vda,fast,50" << false << 0.0;
        QTest::newRow("too few parts") << "vda,2048" << false << 0.0;
        QTest::newRow("empty") << "" << false << 0.0;
    }
    void monitorLine()
    {
        QFETCH(QString, line);
        QFETCH(bool, valid);
        QFETCH(double, mbits);
        const std::optional<double> got = parseMonitorLine(line);
        QCOMPARE(got.has_value(), valid);
        if (valid)
            QCOMPARE(*got, mbits);
    }

    void gpuOutput_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("usage"); // -1: not accepted
        QTest::newRow("fraction cut") << "Total GPU Engine Usage: 12.87%\n" << 12;
        QTest::newRow("zero") << "Total GPU Engine Usage: 0%" << 0;
        QTest::newRow("more lines follow") << "Total GPU Engine Usage: 250%\nCPU: 40\n" << 250;
        QTest::newRow("text before") << "note\nTotal GPU Engine Usage: 5%" << -1;
        QTest::newRow("no digits") << "Total GPU Engine Usage: %" << -1;
        QTest::newRow("other wording") << "GPU Usage: 5%" << -1;
    }
    void gpuOutput()
    {
        QFETCH(QString, text);
        QFETCH(int, usage);
        const std::optional<int> got = parseGpuOutput(text);
        QCOMPARE(got.value_or(-1), usage);
    }

    void speedTestLines()
    {
        QCOMPARE(parseTestPercent("percent=37").value_or(-1), 37);
        QCOMPARE(parseTestPercent("  progress percent=5 of run").value_or(-1), 5);
        QCOMPARE(parseTestPercent("percent=100").value_or(-1), 100);
        QVERIFY(!parseTestPercent("percent=").has_value());
        QVERIFY(!parseTestPercent("result=812.5").has_value());

        QCOMPARE(parseTestResult("result=812.5").value_or(-1), 812.5);
        QCOMPARE(parseTestResult("result=80").value_or(-1), 80.0);
        QCOMPARE(parseTestResult("final result=0.75 MB/s").value_or(-1), 0.75);
        QVERIFY(!parseTestResult("result=").has_value());
        QVERIFY(!parseTestResult("percent=40").has_value());
    }

    void cpuTimes()
    {
        const QByteArray stat1 = "cpu  100 20 80 700 100 0 0 0 50 0\n"
                                 "cpu0 50 10 40 350 50 0 0 0 0 0\nintr 12345\n";
        const std::optional<CpuTimes> a = parseCpuTimes(stat1);
        QVERIFY(a.has_value());
        QCOMPARE(a->total, quint64(1000)); // guest time is already inside user
        QCOMPARE(a->idle, quint64(800));   // iowait counts as idle

        // 100 jiffies later, 33 of them busy: 33 %; 1 busy jiffy in 300 rounds up to 1 %.
        CpuTimes b{1100, 867};
        QCOMPARE(cpuUsagePercent(*a, b), 33.0);
        QCOMPARE(cpuUsagePercent(*a, CpuTimes{1300, 1099}), 1.0);
        QCOMPARE(cpuUsagePercent(*a, CpuTimes{1003, 801}), 67.0);
        QCOMPARE(cpuUsagePercent(*a, *a), 0.0); // no time passed

        QVERIFY(!parseCpuTimes("cpu0 1 2 3 4\n").has_value());
        QVERIFY(!parseCpuTimes("cpu  x y z w v\n").has_value());
    }

    void memInfo()
    {
        double total = -1;
        double used = -1;
        QVERIFY(parseMemInfo("MemTotal:  2097152 kB\nMemFree: 1 kB\nMemAvailable:   524288 kB\n",
                             total, used));
        QCOMPARE(total, 2048.0);
        QCOMPARE(used, 1536.0);
        total = used = -1;
        QVERIFY(!parseMemInfo("MemTotal: 2097152 kB\n", total, used));
        QCOMPARE(total, -1.0); // untouched on failure
    }

    void netRateArithmetic()
    {
        QCOMPARE(netRate(0, 5120), 1);
        QCOMPARE(netRate(1000, 1000 + 5119), 0);
        QCOMPARE(netRate(0, 5120 * 300), 300);
        // The 32-bit sum wrapped between the samples.
        QCOMPARE(netRate(0xFFFF0000u, 0x00010000u), (0x20000 >> 10) / 5);

        const QList<NetCounters> c = parseNetDev(netDev(1234, 99, 7, 3));
        QCOMPARE(c.size(), 5);
        QCOMPARE(c[1].name, QStringLiteral("eth0"));
        QCOMPARE(c[1].receivedBytes, quint64(1234));
        QCOMPARE(c[1].sentBytes, quint64(99));
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
        QVERIFY(!NetworkSampler::isCountedInterface(sys, "wlan0"));
        QVERIFY(!NetworkSampler::isCountedInterface(sys, "lo"));
        QVERIFY(!NetworkSampler::isCountedInterface(sys, "tun0"));
        QVERIFY(!NetworkSampler::isCountedInterface(sys, "missing"));

        const QString dev = dir.filePath("dev");
        writeFile(dev, netDev(5120 * 100, 5120 * 40, 5120 * 999, 5120 * 999));
        NetworkSampler sampler(nullptr, dev, sys);
        // First sample: totals since "boot" / 5120.
        QVERIFY(drtest::waitUntil([&] { return sampler.downRate() == 100; }, 3000));
        QCOMPARE(sampler.upRate(), 40);
        // Wireless, loopback and tunnel traffic changes; only eth0's 7 * 5120 bytes count.
        writeFile(dev, netDev(5120 * 107, 5120 * 40, 5120 * 5000, 5120 * 7000));
        QVERIFY(drtest::waitUntil([&] { return sampler.downRate() == 7; }, 3000));
        QCOMPARE(sampler.upRate(), 0);
    }

    void mountTableFindsDeepestMount()
    {
        QTemporaryDir dir;
        const QString root = QDir(dir.path()).canonicalPath();
        QVERIFY(QDir().mkpath(root + "/data/rec"));
        QVERIFY(QDir().mkpath(root + "/data2"));
        QVERIFY(QDir().mkpath(root + "/with space"));
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
        QCOMPARE(t.entries()[2].mountPoint, root + "/with space");
        QCOMPARE(t.entries()[2].source, QStringLiteral("srv:/export"));
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
