// Discovery through the application's HTTP API: the headless binary with real test sources
// on our runtime lists them (UTF-8 names, address, flags), forgets a killed one after its
// grace, finds a grouped source once the groups are set through the API, and keeps its
// discovery-interface setting; meanwhile nothing of discovery leaves this host.
#include "../media/NdiSourceProcess.h"

#include <QJsonArray>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QTest>

#include <memory>
#include <unistd.h>

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

// tcpdump on every interface of this host but loopback, for UDP datagrams to or from `port`
// (this test's discovery port). Empty when capturing is not possible here (needs root).
std::vector<std::unique_ptr<drtest::ChildProcess>> captureOffHost(quint16 port)
{
    std::vector<std::unique_ptr<drtest::ChildProcess>> captures;
    const QString tcpdump = QStandardPaths::findExecutable("tcpdump", {"/usr/bin", "/usr/sbin"});
    if (geteuid() != 0 || tcpdump.isEmpty())
        return captures;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        if (!(i.flags() & QNetworkInterface::IsUp) || (i.flags() & QNetworkInterface::IsLoopBack))
            continue;
        auto c = std::make_unique<drtest::ChildProcess>();
        const QStringList args = QString("-n -p -l --immediate-mode -i %1 udp port %2")
                                     .arg(i.name())
                                     .arg(port)
                                     .split(' ');
        if (c->start(tcpdump, args) && c->waitForOutput("listening on", 10000))
            captures.push_back(std::move(c));
        else
            qWarning("no capture on %s: %s", qPrintable(i.name()), qPrintable(c->output()));
    }
    return captures;
}

} // namespace

class TestDiscoveryApi : public QObject
{
    Q_OBJECT

private slots:
    void sourcesAppearAgeOutAndGroupsPersist()
    {
        const QProcessEnvironment runtimeEnv = mediatest::isolatedRuntimeEnv();
        QCOMPARE(qgetenv("DESK_RECORDER_NDI_INTERFACES"), QByteArray("none")); // the suite's
        const auto captures =
            captureOffHost(quint16(runtimeEnv.value("DESK_RECORDER_NDI_DISCOVERY_PORT").toUInt()));
        if (captures.empty())
            qInfo("no capture of the non-loopback interfaces here (needs root, tcpdump)");
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
        // Discovery interfaces: inherited from the environment until one is stored; a bad
        // one is refused and changes nothing; a list that names nothing of this host keeps
        // discovery here (same-host sources still found) and survives the groups' update.
        auto interfaces = [&] {
            const QJsonObject reply = app.get("/api/discovery/interfaces/get.json").json();
            return reply.value("data").toObject().value("interfaces");
        };
        QCOMPARE(interfaces().toString(), QString("none"));
        for (const QJsonValue &bad : {QJsonValue("eth0, bad/name"), QJsonValue(" , "),
                                      QJsonValue("10.0.0.300"), QJsonValue(QJsonArray{1})}) {
            const QJsonObject reply =
                app.post("/api/discovery/interfaces/set.json", {{"interfaces", bad}}).json();
            QVERIFY2(reply["result"] == "error" && !reply["msg"].toString().isEmpty(),
                     qPrintable(QJsonDocument(reply).toJson()));
        }
        QCOMPARE(interfaces().toString(), QString("none"));
        QCOMPARE(app.post("/api/discovery/interfaces/set.json",
                          {{"interfaces", QJsonArray{"nosuch0", " 10.255.255.1 ", "nosuch0"}}})
                     .json(),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(interfaces().toString(), QString("nosuch0,10.255.255.1"));

        QCOMPARE(app.post("/api/discovery/scan/addManualIp.json", request).json(),
                 QJsonObject({{"result", "ok"}}));
        auto groupedListed = [&] { return !listed(app, grouped.fullName()).isEmpty(); };
        QVERIFY(drtest::waitUntil(groupedListed, 10000));
        // Persisted: a restarted application finds it at once with the stored groups.
        QVERIFY(app.restart());
        QVERIFY(drtest::waitUntil(groupedListed, 10000));
        QCOMPARE(interfaces().toString(), QString("nosuch0,10.255.255.1"));
        QCOMPARE(app.stop(), 0);

        for (const auto &c : captures) {
            c->stop();
            QVERIFY2(!c->output().contains("UDP, length"), qPrintable(c->output()));
        }
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryApi)
#include "tst_discovery_api.moc"
