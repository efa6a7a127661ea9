// The test sender and the probe as real processes talking through our runtime on this
// host: discovery and vanishing across processes, what the tools put in and read out of
// the stream (bars, counter, tone, proxy, connection metadata). Wire details, groups, tally
// and reconnection are tested in-process (tests/ndi); tally and the maker's ntp-set answer
// through the application's connection in tests/media.
// Source names carry this test's PID, so parallel runs on the same host never mix.
#include "ToolRunner.h"

#include <QTest>
#include <cmath>
#include <csignal>
#include <sys/types.h>

using drtest::ChildProcess;
using namespace ndt;

class ProcessTest : public QObject
{
    Q_OBJECT

private slots:
    // Without any runtime variable the tools still find a runtime (ours, beside them, when
    // none is installed); a failure here is a fault, not a reason to skip.
    void initTestCase()
    {
        for (const char *var :
             {"DESK_RECORDER_NDI_LIB", "NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"})
            qunsetenv(var);
        const ProbeResult r = runProbe({"--runtime"}, 10000);
        QVERIFY2(r.exitCode == 0 && r.output.contains("runtime_version="), qPrintable(r.output));
    }

    void senderCommandLineAndCleanEnd()
    {
        ChildProcess bad;
        QVERIFY(bad.start(testsrcPath(), {"--name", "x", "--fps", "0/1"}));
        QVERIFY(drtest::waitUntil([&] { return !bad.isRunning(); }, 5000));
        QCOMPARE(bad.process().exitCode(), 2);
        QVERIFY(bad.output().contains("--fps"));

        // Two sources in one process; SIGINT and SIGTERM both end it cleanly with code 0
        // and a "stopped" line per source.
        for (const int sig : {SIGTERM, SIGINT}) {
            ChildProcess src;
            QVERIFY(startSource(src, {"--name", uniqueName("CleanA"), "--name",
                                      uniqueName("CleanB"), "--resolution", "640x360"}));
            QVERIFY(src.output().contains("runtime "));
            ::kill(pid_t(src.pid()), sig);
            QVERIFY(drtest::waitUntil([&] { return !src.isRunning(); }, 5000));
            QVERIFY(src.process().exitStatus() == QProcess::NormalExit &&
                    src.process().exitCode() == 0);
            QCOMPARE(src.output().count("stopped \""), 2);
        }
    }

    void discoveryOnThisHost()
    {
        const QString a = uniqueName("Disc A"), b = uniqueName("Disc B");
        ChildProcess src;
        QVERIFY(startSource(src, {"--name", a, "--name", b, "--resolution", "640x360"}));
        // A finder started afterwards lists the sources of another process, as "host:port".
        const ProbeResult all = runProbe({"--list", "--until", b, "--seconds", "5"});
        QCOMPARE(all.exitCode, 0);
        QVERIFY2(all.listedAddress(b).contains(QRegularExpression("^[^:]+:\\d+$")),
                 qPrintable(all.output));
        QVERIFY(runProbe({"--list", "--until", "nobody here", "--seconds", "0.5"}).exitCode == 1);
        const ProbeResult missing = runProbe({"--recv", "nobody here", "--find-seconds", "0.5"});
        QCOMPARE(missing.exitCode, 1);
        QCOMPARE(missing.value("source_found"), QString("0"));
    }

    void vanishing() { checkVanishing("Vanish", {}, {}, 5000); }

    void fullRoundTrip_data()
    {
        QTest::addColumn<QString>("resolution");
        QTest::addColumn<QString>("fps");
        QTest::addColumn<bool>("low");
        QTest::addColumn<QString>("received");
        QTest::newRow("720p25") << "1280x720"
                                << "25/1" << false << "1280x720";
        // The downscaled proxy still shows exact bars and a readable, advancing counter.
        QTest::newRow("1080p59.94 proxy") << "1920x1080"
                                          << "60000/1001" << true << "640x360";
    }
    void fullRoundTrip()
    {
        QFETCH(QString, resolution);
        QFETCH(QString, fps);
        QFETCH(bool, low);
        QFETCH(QString, received);
        const QString name = uniqueName("Trip " + resolution);
        ChildProcess src;
        QVERIFY(startSource(src, {"--name", name, "--resolution", resolution, "--fps", fps,
                                  "--tone", "1000,250", "--level", "-6", "--web-url",
                                  "http://127.0.0.1:8080/ui", "--ptz"}));
        const ProbeResult r = runProbe(QStringList{"--recv", name, "--seconds", "2"} +
                                       (low ? QStringList{"--low"} : QStringList{}));
        // Connected, the size and rate sent (or the proxy's), our picture unchanged (exact
        // bars, a counter that advances), 2 channels at 48 kHz, and the connection metadata.
        // Few frames are enough: a loaded machine may deliver fewer than the rate says.
        QVERIFY2(r.exitCode == 0 && r.intValue("video_frames") >= 3, qPrintable(r.output));
        const QStringList keys{"connected",         "fourcc",  "fps", "bars", "audio_channels",
                               "audio_sample_rate", "web_url", "ptz"};
        QStringList values;
        for (const QString &key : keys)
            values << r.value(key);
        QCOMPARE(values, QStringList({"1", "UYVY", fps, "ok", "2", "48000",
                                      "http://127.0.0.1:8080/ui", "1"}));
        QCOMPARE(r.value("xres") + "x" + r.value("yres"), received);
        QVERIFY(r.value("first_counter").toLongLong() >= 0);
        QVERIFY(r.value("last_counter").toLongLong() > r.value("first_counter").toLongLong());
        QVERIFY(r.value("audio_samples").toLongLong() >= 48000 / 2);
        // Each channel peaking at -6 dBFS.
        const QStringList peaks = r.value("audio_peak_db").split(',');
        QCOMPARE(peaks.size(), 2);
        for (const QString &p : peaks)
            QVERIFY2(std::fabs(p.toDouble() + 6.0) < 0.5, qPrintable(r.value("audio_peak_db")));
        QVERIFY(src.waitForOutput("connections \"", 2000));
    }
};

QTEST_GUILESS_MAIN(ProcessTest)
#include "ProcessTest.moc"
