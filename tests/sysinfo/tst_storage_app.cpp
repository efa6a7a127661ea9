// The storage and performance routes of the real application (headless, own data folder,
// free ports): storage settings and their persistence, the machine's figures, and the
// disk speed test with its events on the WebSocket channel (on a tmpfs, root only).
#include "TestSupport.h"
#include "TmpfsMount.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

qint64 freeBytes(const QString &path)
{
    struct statvfs fs = {};
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

bool isDiskEvent(const QJsonObject &m)
{
    return m["name"].toString() == QLatin1String("diskMaxSpeed/update");
}

int percentOf(const QJsonObject &m)
{
    return m["data"].toObject()["diskTestPercent"].toInt(-1);
}

QList<QJsonObject> diskEvents(const drtest::EventClient &events)
{
    QList<QJsonObject> out;
    for (const QJsonObject &m : events.messages())
        if (isDiskEvent(m))
            out.append(m);
    return out;
}

QProcessEnvironment shortTest(int ms)
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("DESK_RECORDER_DISK_TEST_MS"), QString::number(ms));
    return env;
}

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

        const QJsonObject defaults{{"storePath", ""},
                                   {"limitType", "size"},
                                   {"limitSize", 1024},
                                   {"limitTime", 60},
                                   {"frmode", 0},
                                   {"rules", QJsonObject{{"start", "Default Project"},
                                                         {"middle", "Default Camera"},
                                                         {"end", "yyyyMMdd-HH.mm.ss"}}}};
        // A first start splits by time (default document); a set request defaults to size.
        QJsonObject firstStart = defaults;
        firstStart["limitType"] = "time";
        QCOMPARE(app.get("/api/storage/get.json").json()["data"].toObject(), firstStart);
        QCOMPARE(app.get("/api/storage/getAvailable.json").json(),
                 (QJsonObject{{"result", "ok"}, {"data", QJsonObject{{"isAvailable", false}}}}));
        QCOMPARE(app.get("/api/storage/getStorePath.json").json()["result"],
                 QStringLiteral("ok")); // headless: no dialog, no harm

        struct Case
        {
            QJsonObject request;
            const char *key;
            QJsonValue stored;
        };
        const QList<Case> cases{
            {{{"limitType", "size"}, {"limitSize", 0}}, "limitSize", 1024},
            {{{"limitSize", "2048"}}, "limitSize", 2048},
            {{{"limitType", "time"}, {"limitTime", 0}}, "limitTime", 60},
            {{{"frmode", 2}}, "frmode", 0},
            {{{"frmode", -1}}, "frmode", 0},
        };
        for (const Case &c : cases) {
            QCOMPARE(app.post("/api/storage/set.json", c.request).json(),
                     (QJsonObject{{"result", "ok"}}));
            QCOMPARE(app.get("/api/storage/get.json").json()["data"].toObject()[c.key], c.stored);
        }

        const QJsonObject chosen{
            {"storePath", disk.path()},
            {"limitType", "time"},
            {"limitSize", 512},
            {"limitTime", 30},
            {"frmode", 1},
            {"rules",
             QJsonObject{{"start", "Default Project"}, {"middle", "Cam A"}, {"end", "HH-mm"}}}};
        app.post("/api/storage/set.json", chosen);
        QVERIFY(app.restart());
        QCOMPARE(app.get("/api/storage/get.json").json()["data"].toObject(), chosen);
        QCOMPARE(app.get("/api/storage/getAvailable.json").json()["data"].toObject()["isAvailable"],
                 true);
        const QJsonObject device = app.get("/api/storage/getDeviceList.json").json();
        QCOMPARE(device["data"].toArray().at(0).toObject()["name"].toString(), disk.path());

        // A request with only the path resets everything else.
        app.post("/api/storage/set.json", {{"storePath", disk.path()}});
        QJsonObject reset = defaults;
        reset["storePath"] = disk.path();
        QCOMPARE(app.get("/api/storage/get.json").json()["data"].toObject(), reset);
        QCOMPARE(app.stop(), 0);
    }

    void machineFigures()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QTest::qWait(1500); // one CPU and one network sample
        const QJsonObject reply = app.get("/api/performance/getSys.json").json();
        QCOMPARE(reply["result"].toString(), QStringLiteral("ok"));
        const QJsonObject d = reply["data"].toObject();
        for (const char *key : {"cpu", "gpu", "temp", "mem_use", "mem_total", "net_up", "net_down"})
            QVERIFY2(d[key].isDouble(), key);
        QVERIFY(d["cpu"].toDouble() >= 0 && d["cpu"].toDouble() <= 100);
        QCOMPARE(d["cpu"].toDouble(), double(qRound(d["cpu"].toDouble())));
        const double physicalMiB =
            double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
        QVERIFY(qAbs(d["mem_total"].toDouble() - physicalMiB) < physicalMiB * 0.02);
        QVERIFY(d["mem_use"].toDouble() > 0 && d["mem_use"].toDouble() < physicalMiB);
        QVERIFY(d["net_up"].toDouble() >= 0 && d["net_down"].toDouble() >= 0);
        // The request started the GPU probe from its script in the data folder.
        QVERIFY(QFile::exists(app.dataDir() + "/temp/gpu.sh"));
        QCOMPARE(app.stop(), 0);
    }

    // Progress events, then 100 with the result, reach a WebSocket client; the disk is
    // left as it was.
    void speedTestEventsReachClients()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        const qint64 before = freeBytes(tmpfs.path());
        drtest::AppInstance app;
        QVERIFY(app.start({}, shortTest(1500)));
        app.post("/api/storage/set.json", {{"storePath", tmpfs.path()}});
        drtest::EventClient events;
        QVERIFY(events.open(app.wsUrl()));

        QCOMPARE(app.get("/api/performance/getDiskMaxSpeed.json").json(),
                 (QJsonObject{{"result", "ok"}}));
        QJsonObject final;
        QVERIFY(events.waitFor(
            [](const QJsonObject &m) { return isDiskEvent(m) && percentOf(m) == 100; }, 20000,
            &final));
        const QList<QJsonObject> all = diskEvents(events);
        QVERIFY(all.size() >= 3);
        int last = -1;
        for (int i = 0; i < all.size() - 1; ++i) {
            QCOMPARE(all[i]["result"].toString(), QStringLiteral("ok"));
            QVERIFY(percentOf(all[i]) > last && percentOf(all[i]) < 100);
            QCOMPARE(all[i]["data"].toObject()["diskMaxSpeed"].toDouble(), 0.0);
            last = percentOf(all[i]);
        }
        QCOMPARE(all.last(), final);
        QVERIFY(final["data"].toObject()["diskMaxSpeed"].toDouble() > 0);
        QVERIFY(drtest::waitUntil([&] { return freeBytes(tmpfs.path()) == before; }, 5000));
        QVERIFY(tmpfs.entries().isEmpty());
        QCOMPARE(app.stop(), 0);
    }

    // Stopping mid-test: no events afterwards, and the test file and its space are gone.
    void speedTestStoppedMidway()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        const qint64 before = freeBytes(tmpfs.path());
        drtest::AppInstance app;
        QVERIFY(app.start()); // the full 60 s test
        app.post("/api/storage/set.json", {{"storePath", tmpfs.path()}});
        drtest::EventClient events;
        QVERIFY(events.open(app.wsUrl()));
        QCOMPARE(app.get("/api/performance/getDiskMaxSpeed.json").json()["result"],
                 QStringLiteral("ok"));
        QVERIFY(events.waitFor(
            [](const QJsonObject &m) { return isDiskEvent(m) && percentOf(m) >= 1; }, 15000));
        QCOMPARE(app.get("/api/performance/stopDiskMaxSpeed.json").json(),
                 (QJsonObject{{"result", "ok"}}));
        QTest::qWait(300); // events already on the wire may still arrive
        const qsizetype count = diskEvents(events).size();
        QTest::qWait(1500);
        QCOMPARE(diskEvents(events).size(), count);
        QVERIFY(percentOf(diskEvents(events).last()) < 100);
        QVERIFY(drtest::waitUntil([&] { return freeBytes(tmpfs.path()) == before; }, 5000));
        QVERIFY(tmpfs.entries().isEmpty());
        QCOMPARE(app.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStorageApp)
#include "tst_storage_app.moc"
