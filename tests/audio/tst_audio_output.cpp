// Audio output end to end: the headless application plays the windows whose audio is on,
// taken from real test sources through our runtime, on a private sound server's null sink;
// parec records the sink's monitor. The server starts without a sink, so the first case
// also covers a device that arrives (and returns) while the application runs.
#include "../media/NdiSourceProcess.h"
#include "PulseTestEnv.h"

#include <QJsonArray>
#include <QTest>

using namespace audiotest;
using mediatest::NdiSourceProcess;

class TestAudioOutput : public QObject
{
    Q_OBJECT

    PulseServer pulse;
    drtest::AppInstance app;
    // Levels stay below -20.8 dBFS where the loudest-three ranking is compared: the
    // engine's 32-bit frame energy wraps above that.
    NdiSourceProcess tone1000, tone440, tone300, tone600, tone700, lateTone;
    std::unique_ptr<Capture> capture;

    bool startTone(NdiSourceProcess &source, int hz, double dbfs)
    {
        return source.start(QString("tone %1").arg(hz),
                            {"--tone", QString::number(hz), "--level", QString::number(dbfs),
                             "--resolution", "160x120", "--fps", "50"});
    }
    bool listed(const QString &name)
    {
        for (const QJsonValue &v : app.get("/api/source/get.json").json().value("data").toArray())
            if (v.toObject().value("name").toString() == name)
                return true;
        return false;
    }
    bool setSource(int position, const NdiSourceProcess &source, const char *type = "source")
    {
        return app.post("/api/output/setSource.json",
                        {{"type", type}, {"position", position}, {"stream_id", source.fullName()}})
                   .json()
                   .value("result") == "ok";
    }
    bool setAudio(int position, bool on)
    {
        return app.post("/api/output/window_audio_set.json",
                        {{"project_id", 1}, {"position", position}, {"volume", on ? "on" : "off"}})
                   .json()
                   .value("result") == "ok";
    }
    // The recording's last 300 ms hold the tone.
    bool waitForTone(double hz, int timeoutMs = 5000)
    {
        return drtest::waitUntil([&] { return toneDb(capture->last(300), hz) > -40; }, timeoutMs);
    }
    // Loads the sink; the delay in ms until the application's stream plays on it (the
    // recorder needs longer than that to start), then checks that it carries the tone.
    // -1 when it does not.
    qint64 delayAfterLoad()
    {
        QElapsedTimer sinceLoad;
        sinceLoad.start();
        QString streams;
        if (!pulse.loadSink() || !drtest::waitUntil(
                                     [&] {
                                         return pulse.pactl({"list", "short", "sink-inputs"},
                                                            &streams) == 0 &&
                                                !streams.isEmpty();
                                     },
                                     3000))
            return -1;
        const qint64 delay = sinceLoad.elapsed();
        capture = std::make_unique<Capture>(pulse);
        return capture->start() && waitForTone(1000, 3000) ? delay : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(pulse.start(false));
        QVERIFY(startTone(tone1000, 1000, -20));
        QVERIFY(startTone(tone440, 440, -25));
        QVERIFY(startTone(tone300, 300, -22));
        QVERIFY(startTone(tone600, 600, -28));
        QVERIFY(startTone(tone700, 700, -34));
        // Once a second, a frame 45 ms late: beyond the frame synchroniser's 25 ms margin.
        QVERIFY(lateTone.start("late tone", {"--tone", "1025", "--level", "-20", "--resolution",
                                             "160x120", "--fps", "50", "--late", "45"}));
        const QProcessEnvironment env = pulse.appEnv();
        QVERIFY(app.start({}, env));
        for (auto *source : {&tone1000, &tone440, &tone300, &tone600, &tone700, &lateTone})
            QVERIFY(drtest::waitUntil([&] { return listed(source->fullName()); }, 10000));
        QCOMPARE(app.post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}})
                     .json()
                     .value("result"),
                 "ok");
    }
    void cleanupTestCase()
    {
        capture.reset();
        QCOMPARE(app.stop(), 0);
    }

    // No device at start; a sink loaded later is used within a second, and again after it
    // went away and came back.
    void deviceArrivesAndReturns()
    {
        QVERIFY(setSource(1, tone1000) && setAudio(1, true));
        QTest::qWait(500); // the window plays into no device
        const qint64 first = delayAfterLoad();
        QVERIFY2(first >= 0 && first <= 1000, qPrintable(QString::number(first)));
        capture.reset();
        QVERIFY(pulse.unloadSink());
        QTest::qWait(1200);
        const qint64 again = delayAfterLoad();
        QVERIFY2(again >= 0 && again <= 1000, qPrintable(QString::number(again)));
        qInfo("sound from a loaded sink after %lld ms, after its return %lld ms", first, again);
        // The log names the device played on.
        QVERIFY(drtest::waitUntil(
            [&] {
                return drtest::readLogs(app.dataDir())
                    .contains("audio output: playing on Null Output (out)");
            },
            3000));
    }

    // Window 1's 1 kHz tone at -20 dBFS is played at its frequency and level; switched off,
    // the output is silent within 200 ms.
    void oneWindowPlaysAndStops()
    {
        QVERIFY(waitForTone(1000));
        QTest::qWait(600);
        double hz = 0;
        const double left = toneDb(capture->last(500, 0), 1000, &hz);
        const double right = toneDb(capture->last(500, 1), 1000);
        QVERIFY2(std::abs(hz - 1000) <= 5, qPrintable(QString::number(hz)));
        QVERIFY2(std::abs(left + 20) <= 0.5 && std::abs(right + 20) <= 0.5,
                 qPrintable(QString("%1 %2").arg(left).arg(right)));

        QVERIFY(setAudio(1, false));
        const qint64 off = capture->frames();
        QTest::qWait(700);
        const QVector<double> after = capture->channel(off, capture->frames() - off);
        int lastLoud = -1;
        for (int i = 0; i < after.size(); ++i)
            if (std::abs(after[i]) > 30)
                lastLoud = i;
        QVERIFY2(lastLoud * 1000 / kRate <= 200, qPrintable(QString::number(lastLoud)));
        QCOMPARE(peakAbs(capture->last(300)), 0.0);
    }

    // Two windows are summed at their own levels; of four, only the three loudest are heard.
    void loudestThreeWindowsAreMixed()
    {
        QVERIFY(setSource(2, tone440) && setAudio(1, true) && setAudio(2, true));
        QVERIFY(waitForTone(440) && waitForTone(1000));
        QTest::qWait(600);
        QVector<double> x = capture->last(500);
        QVERIFY2(std::abs(toneDb(x, 1000) + 20) <= 0.5,
                 qPrintable(QString::number(toneDb(x, 1000))));
        QVERIFY2(std::abs(toneDb(x, 440) + 25) <= 0.5, qPrintable(QString::number(toneDb(x, 440))));

        QCOMPARE(app.post("/api/output/deleteAll.json", {}).json().value("result"), "ok");
        const NdiSourceProcess *four[] = {&tone300, &tone440, &tone600, &tone700};
        for (int position = 1; position <= 4; ++position)
            QVERIFY(setSource(position, *four[position - 1]) && setAudio(position, true));
        QVERIFY(waitForTone(300) && waitForTone(440) && waitForTone(600));
        QTest::qWait(600);
        x = capture->last(500);
        const double db300 = toneDb(x, 300), db440 = toneDb(x, 440), db600 = toneDb(x, 600),
                     db700 = toneDb(x, 700);
        QVERIFY2(std::abs(db300 + 22) <= 0.5 && std::abs(db440 + 25) <= 0.5 &&
                     std::abs(db600 + 28) <= 0.5 && db700 < -70,
                 qPrintable(QString("%1 %2 %3 %4").arg(db300).arg(db440).arg(db600).arg(db700)));
    }

    // Exchanging two windows keeps each source's audio state with the source.
    void swapKeepsAudioWithSource()
    {
        QCOMPARE(app.post("/api/output/deleteAll.json", {}).json().value("result"), "ok");
        QVERIFY(setSource(1, tone1000) && setSource(2, tone440) && setAudio(1, true));
        QVERIFY(waitForTone(1000));
        QVERIFY(setSource(1, tone440, "display") && setSource(2, tone1000, "display"));
        QTest::qWait(1000);
        const QVector<double> x = capture->last(500);
        QVERIFY2(toneDb(x, 1000) > -20.5 && toneDb(x, 440) < -70,
                 qPrintable(QString("%1 %2").arg(toneDb(x, 1000)).arg(toneDb(x, 440))));
        const QJsonArray windows = app.get("/api/output/get.json")
                                       .json()
                                       .value("data")
                                       .toObject()
                                       .value("layout")
                                       .toArray();
        for (const QJsonValue &v : windows) {
            const QJsonObject w = v.toObject();
            if (w.value("id").toInt() <= 2)
                QCOMPARE(w.value("volume").toString() == "on",
                         w.value("stream_id").toString() == tone1000.fullName());
        }
    }

    // A window that leaves the layout is no longer heard; back in the layout, it is again.
    void layoutFollowsWhatIsHeard()
    {
        const auto layout = [&](int id, int count) {
            return app.post("/api/output/setLayout.json",
                            {{"layout_id", id}, {"layout_number", count}})
                       .json()
                       .value("result") == "ok";
        };
        QVERIFY(waitForTone(1000)); // window 2, from the swap
        QVERIFY(layout(1, 1));
        QVERIFY(drtest::waitUntil([&] { return toneDb(capture->last(200), 1000) < -70; }, 1000));
        QVERIFY(layout(2, 4));
        QVERIFY(waitForTone(1000, 1000));
    }

    // A sender's hiccups (a late frame each second) are waited out: the tone stays one
    // continuous sine, without a gap of silence.
    void lateFramesAreNotHeard()
    {
        QCOMPARE(app.post("/api/output/deleteAll.json", {}).json().value("result"), "ok");
        QVERIFY(setSource(1, lateTone) && setAudio(1, true));
        QVERIFY(waitForTone(1025));
        QTest::qWait(1000);
        const qint64 from = capture->frames();
        QTest::qWait(5000);
        SineContinuity check(1025, 160);
        check.feed(capture->raw().mid(from * 4));
        QVERIFY(check.frames() >= 4 * kRate);
        QVERIFY2(check.glitches().isEmpty(),
                 qPrintable(QString("%1 gap(s), the first %2 ms in")
                                .arg(check.glitches().size())
                                .arg(check.glitches().value(0) * 1000 / kRate)));
    }
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "tst_audio_output.moc"
