// Discovery through the application's HTTP API: the headless binary with real test sources
// on our runtime lists them (UTF-8 names, address, flags), forgets a killed one after its
// grace, and finds a grouped source once the groups are set through the API.
#include "../media/NdiSourceProcess.h"

#include <QJsonArray>
#include <QTest>

using mediatest::NdiSourceProcess;

namespace {

QJsonObject listed(drtest::AppInstance &app, const QString &name)
{
    const QJsonObject reply = app.get("/api/source/get.json").json();
    for (const QJsonValue &v : reply.value("data").toArray()) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return {};
}

} // namespace

class TestDiscoveryApi : public QObject
{
    Q_OBJECT

private slots:
    void sourcesAppearAgeOutAndGroupsPersist()
    {
        NdiSourceProcess source, grouped;
        QVERIFY(
            source.start(QString::fromUtf8("Régie 東"), {"--web-url", "http://127.0.0.1:8080/"}));
        QVERIFY(grouped.start("studio cam", {"--groups", "studio", "--no-audio"}));
        QProcessEnvironment env = mediatest::isolatedRuntimeEnv();
        env.insert("DR_DEVICE_PROBE_PORT", QString::number(drtest::freeTcpPort())); // nobody there
        drtest::AppInstance app;
        QVERIFY(app.start({}, env));
        QJsonObject entry;
        QVERIFY(drtest::waitUntil(
            [&] { return !(entry = listed(app, source.fullName())).isEmpty(); }, 10000));
        for (const char *key : {"id", "stream_id"})
            QCOMPARE(entry.value(key).toString(), source.fullName());
        QCOMPARE(entry.value("ip").toString(), source.address());
        QVERIFY(!entry.value("official").toBool(true) && !entry.value("switch").toBool(true));
        QCOMPARE(app.get("/api/source/refresh.json").json(), QJsonObject({{"result", "ok"}}));

        source.kill();
        QTest::qWait(2000);
        QVERIFY(!listed(app, source.fullName()).isEmpty()); // still inside its 5 s grace
        QVERIFY(drtest::waitUntil([&] { return listed(app, source.fullName()).isEmpty(); }, 10000));
        // Nothing listed: the grouped source is not in the default group.
        QCOMPARE(app.get("/api/source/get.json").json(), QJsonObject({{"result", "ok"}}));

        const QJsonObject request{{"group_name", QJsonArray{"public", "studio"}},
                                  {"ip", QJsonArray{}}};
        QCOMPARE(app.post("/api/discovery/scan/addManualIp.json", request).json(),
                 QJsonObject({{"result", "ok"}}));
        auto groupedListed = [&] { return !listed(app, grouped.fullName()).isEmpty(); };
        QVERIFY(drtest::waitUntil(groupedListed, 10000));
        // Persisted: a restarted application finds it at once with the stored groups.
        QVERIFY(app.restart());
        QVERIFY(drtest::waitUntil(groupedListed, 10000));
        QCOMPARE(app.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryApi)
#include "tst_discovery_api.moc"
