// The storage and performance routes of the real application (headless, own data folder,
// free ports): storage settings and their persistence, the machine's figures, and the
// disk speed test with its events on the WebSocket channel (on a tmpfs, root only).
#include "TestSupport.h"
#include "TmpfsMount.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

// Percent of a disk speed test event, -1 for any other message.
int percentOf(const QJsonObject &m)
{
    return m["name"] == QLatin1String("diskMaxSpeed/update")
               ? m["data"]["diskTestPercent"].toInt(-1)
               : -1;
}

QList<QJsonObject> diskEvents(const drtest::EventClient &events)
{
    QList<QJsonObject> out = events.messages();
    out.removeIf([](const QJsonObject &m) { return percentOf(m) < 0; });
    return out;
}

// The application recording to a tmpfs, with a speed test of `testMs` (0: the full
// length) asked for and an event client listening.
struct SpeedTestRun
{
    TmpfsMount tmpfs{16};
    drtest::AppInstance app;
    drtest::EventClient events;

    bool start(int testMs = 0)
    {
        QProcessEnvironment env;
        if (testMs > 0)
            env.insert("DESK_RECORDER_DISK_TEST_MS", QString::number(testMs));
        if (!app.start({}, env) || !events.open(app.wsUrl()))
            return false;
        app.post("/api/storage/set.json", {{"storePath", tmpfs.path}});
        return app.get("/api/performance/getDiskMaxSpeed.json").json() ==
               QJsonObject{{"result", "ok"}};
    }
    bool waitForPercent(int atLeast, int timeoutMs)
    {
        return events.waitFor([&](const QJsonObject &m) { return percentOf(m) >= atLeast; },
                              timeoutMs);
    }
};

} // namespace

class TestStorageApp : public QObject
{
    Q_OBJECT

private slots:
    void storageSettingsAdjustedAndKept()
    {
        QTemporaryDir disk;
        drtest::AppInstance app;
        QVERIFY(app.start());
        const auto settings = [&] {
            return app.get("/api/storage/get.json").json().value("data").toObject();
        };
        // A first start splits by time (a set request defaults to size: tst_window_model).
        QCOMPARE(settings(), QJsonDocument::fromJson(R"({"storePath": "", "limitType": "time",
            "limitSize": 1024, "limitTime": 60, "frmode": 0, "rules": {"start": "Default Project",
            "middle": "Default Camera", "end": "yyyyMMdd-HH.mm.ss"}, "codec": "h264"})")
                                 .object());
        QCOMPARE(app.get("/api/storage/getAvailable.json").json(),
                 (QJsonObject{{"result", "ok"}, {"data", QJsonObject{{"isAvailable", false}}}}));
        QCOMPARE(app.get("/api/storage/getStorePath.json").json()["result"], "ok"); // headless

        QJsonObject chosen = QJsonDocument::fromJson(R"({"limitType": "time", "limitSize": 512,
            "limitTime": 30, "frmode": 1, "rules": {"start": "Default Project", "middle": "Cam A",
            "end": "HH-mm"}, "codec": "speedhq"})")
                                 .object();
        chosen["storePath"] = disk.path();
        app.post("/api/storage/set.json", chosen);
        QVERIFY(app.restart());
        QCOMPARE(settings(), chosen);
        QCOMPARE(app.get("/api/storage/getAvailable.json").json().value("data")["isAvailable"],
                 true);
        QCOMPARE(app.stop(), 0);
    }

    void machineFigures()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QTest::qWait(1500); // one CPU and one network sample
        const QJsonObject d = app.get("/api/performance/getSys.json").json()["data"].toObject();
        for (const char *key : {"cpu", "gpu", "temp", "mem_use", "mem_total", "net_up", "net_down"})
            QVERIFY2(d[key].isDouble() && d[key].toDouble() >= 0, key);
        QVERIFY(d["cpu"].toDouble() <= 100 && d["cpu"].toDouble() == qRound(d["cpu"].toDouble()));
        const double physicalMiB =
            double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
        QVERIFY(qAbs(d["mem_total"].toDouble() - physicalMiB) < physicalMiB * 0.02);
        QVERIFY(d["mem_use"].toDouble() > 0 && d["mem_use"].toDouble() < physicalMiB);
        QVERIFY(QFile::exists(app.dataDir() + "/temp/gpu.sh")); // the request started the probe
        QCOMPARE(app.stop(), 0);
    }

    // Progress events, then 100 with the result, reach a WebSocket client; the test uses at
    // most half the free space and leaves the disk as it was.
    void speedTestEventsReachClients()
    {
        SpeedTestRun run;
        if (!run.tmpfs.reason.isEmpty())
            QSKIP(qPrintable(run.tmpfs.reason));
        QVERIFY(run.start(1500));
        qint64 lowest = run.tmpfs.initialFree; // the test wraps in half the free space
        QVERIFY(drtest::waitUntil(
            [&] {
                lowest = qMin(lowest, run.tmpfs.freeNow());
                return run.waitForPercent(100, 0);
            },
            20000));
        QVERIFY2(lowest >= run.tmpfs.initialFree / 2 - (1 << 20),
                 qPrintable(QString::number(lowest)));
        const QList<QJsonObject> all = diskEvents(run.events);
        QVERIFY(all.size() >= 3);
        for (int i = 0; i < all.size() - 1; ++i) {
            QVERIFY(all[i]["result"] == "ok" && all[i]["data"]["diskMaxSpeed"].toDouble() == 0);
            QVERIFY(percentOf(all[i]) > (i ? percentOf(all[i - 1]) : -1) &&
                    percentOf(all[i]) < 100);
        }
        QCOMPARE(percentOf(all.last()), 100);
        QVERIFY(all.last()["data"]["diskMaxSpeed"].toDouble() > 0);
        QVERIFY(drtest::waitUntil([&] { return run.tmpfs.isClean(); }, 5000));
        QCOMPARE(run.app.stop(), 0);
    }

    // Stopped mid-test: no events afterwards, and the test file and its space are gone. The
    // application killed mid-test takes the test program with it: the space it wrote is
    // returned at once, not when the 60 s run would have ended.
    void speedTestStoppedOrEndedWithTheApplication()
    {
        SpeedTestRun run;
        if (!run.tmpfs.reason.isEmpty())
            QSKIP(qPrintable(run.tmpfs.reason));
        QVERIFY(run.start());
        QVERIFY(run.waitForPercent(1, 15000));
        QCOMPARE(run.app.get("/api/performance/stopDiskMaxSpeed.json").json()["result"], "ok");
        QTest::qWait(300); // events already on the wire may still arrive
        const qsizetype count = diskEvents(run.events).size();
        QTest::qWait(1500);
        QCOMPARE(diskEvents(run.events).size(), count);
        QVERIFY(percentOf(diskEvents(run.events).last()) < 100);
        QVERIFY(drtest::waitUntil([&] { return run.tmpfs.isClean(); }, 5000));

        run.events.clear();
        QCOMPARE(run.app.get("/api/performance/getDiskMaxSpeed.json").json()["result"], "ok");
        QVERIFY(run.waitForPercent(1, 15000));
        QVERIFY(!run.tmpfs.isClean());
        run.app.kill();
        QVERIFY(drtest::waitUntil([&] { return run.tmpfs.isClean(); }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestStorageApp)
#include "tst_storage_app.moc"
