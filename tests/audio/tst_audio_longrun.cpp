// Long run (label "longrun"): fifteen minutes of one window's tone played by the headless
// application and recorded from a private sound server; the recording must be one
// continuous sine, without a gap, a lost or a repeated block. DR_LONGRUN_SECONDS shortens
// or lengthens the run.
#include "../media/NdiSourceProcess.h"
#include "PulseTestEnv.h"

#include <QTest>

using namespace audiotest;

// The run outlasts Qt Test's default five-minute limit per test function.
static const bool longTimeout = qputenv("QTEST_FUNCTION_TIMEOUT", "1500000");

class TestAudioLongRun : public QObject
{
    Q_OBJECT

private slots:
    void toneStaysContinuous()
    {
        const int seconds = qEnvironmentVariableIntValue("DR_LONGRUN_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("DR_LONGRUN_SECONDS")
                                : 900;
        PulseServer pulse;
        QVERIFY(pulse.start(true));
        mediatest::NdiSourceProcess source;
        QVERIFY(source.start("long tone",
                             {"--tone", "1025", "--level", "-20", "--resolution", "160x120",
                              "--fps", "50", "--seconds", QString::number(seconds + 120)}));
        const QProcessEnvironment env = pulse.appEnv();
        drtest::AppInstance app;
        QVERIFY(app.start({}, env));
        QVERIFY(drtest::waitUntil(
            [&] {
                return app.get("/api/source/get.json").body.contains(source.fullName().toUtf8());
            },
            10000));
        QVERIFY(app.post("/api/output/setSource.json",
                         {{"type", "source"}, {"position", 1}, {"stream_id", source.fullName()}})
                    .status == 200);
        QVERIFY(app.post("/api/output/window_audio_set.json",
                         {{"project_id", 1}, {"position", 1}, {"volume", "on"}})
                    .status == 200);
        Capture capture(pulse);
        QVERIFY(capture.start());
        QVERIFY(drtest::waitUntil([&] { return toneDb(capture.last(300), 1025) > -21; }, 5000));
        // The fade-in, and the sound server's stall as the stream starts, which the output
        // trims within its first seconds.
        QTest::qWait(5000);
        capture.take();

        SineContinuity check(1025, 160); // -20 dBFS peaks at 3277; rounding noise is ~2
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < qint64(seconds) * 1000) {
            QTest::qWait(1000);
            check.feed(capture.take());
        }
        qInfo("%lld s recorded, %lld glitches", check.frames() / kRate,
              qint64(check.glitches().size()));
        for (qint64 at : check.glitches())
            qWarning("glitch at %.3f s", double(at) / kRate);
        if (!check.glitches().isEmpty()) { // where the gaps came from, as the chain logged them
            const QString logs =
                app.process().output() + '\n' + QString::fromUtf8(drtest::readLogs(app.dataDir()));
            for (const QString &line : logs.split('\n'))
                if ((line.contains("audio") && !line.contains("audioDeviceinfo")) ||
                    line.contains("getFreeSize"))
                    qWarning("%s", qPrintable(line.right(300)));
        }
        QVERIFY(check.frames() >= qint64(seconds - 2) * kRate); // nothing missing in the capture
        QVERIFY(check.glitches().isEmpty());
        QCOMPARE(app.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAudioLongRun)
#include "tst_audio_longrun.moc"
