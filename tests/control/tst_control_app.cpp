// The real binary, headless on free ports with its own data folder: settings survive a
// clean restart, and a kill during a burst of saves leaves a valid settings file.
#include "TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTest>

class TestControlApp : public QObject
{
    Q_OBJECT
private slots:
    void settingsSurviveRestart()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        const std::pair<const char *, QJsonObject> changes[] = {
            {"output/setLayout", {{"layout_id", 2}, {"layout_number", 4}}},
            {"output/setName", {{"position", 1}, {"name", "Live"}}},
            {"output/setName", {{"position", 2}, {"name", "Left"}}},
            {"output/setSource",
             {{"type", "source"}, {"position", 3}, {"stream_id", "HOST (Cam 3)"}}},
            {"output/window_audio_set", {{"project_id", 1}, {"position", 3}, {"volume", "on"}}},
            {"lang/modify", {{"lang", "en"}}},
            {"ntp/set", {{"addressList", QJsonArray{"10.9.8.7"}}}},
            {"project/set", {{"project_id", 1}, {"project_name", "Gala"}}},
            // A manual address is asked directly: one of this host.
            {"discovery/scan/addManualIp",
             {{"group_name", QJsonArray{"studio"}}, {"ip", QJsonArray{"127.0.0.5"}}}},
        };
        for (const auto &[route, body] : changes)
            QCOMPARE(app.post(QString("/api/%1.json").arg(route), body).json(),
                     QJsonObject({{"result", "ok"}}));

        QCOMPARE(app.stop(), 0); // SIGTERM ends the process cleanly
        QVERIFY(app.start());
        const std::tuple<const char *, const char *, QJsonValue> stored[] = {
            {"output/get", "data/layout_id", 2},
            {"output/get", "data/layout_number", 4},
            {"output/get", "data/layout/1/name", "Left"},
            {"output/get", "data/layout/2/stream_id", "HOST (Cam 3)"},
            {"output/get", "data/layout/2/volume", "on"},
            {"config/general/get", "data/languageOptions/1/default", true},
            {"ntp/get", "data/addressList", QJsonArray{"10.9.8.7"}},
            {"project/getList", "data/0/project_name", "Gala"},
            {"discovery/scan/groupChecked", "data", QJsonArray{"studio"}},
            {"discovery/scan/getManualIps", "data", QJsonArray{"127.0.0.5"}},
        };
        for (const auto &[route, path, value] : stored)
            QCOMPARE(drtest::jsonAt(app.get(QString("/api/%1.json").arg(route)).json(), path),
                     value);
    }

    void killDuringSavesLeavesValidFile()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QVERIFY(app.post("/api/output/setLayout.json", {{"layout_id", 5}, {"layout_number", 20}})
                    .json()["result"] == "ok");
        QNetworkAccessManager network;
        for (int round = 0; round < 4; ++round) {
            // A burst of saves in flight, then a crash at some moment inside it.
            for (int i = 0; i < 200; ++i) {
                QNetworkRequest request(QUrl(app.url("/api/output/setName.json")));
                request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
                const QJsonObject body{{"position", 1 + i % 20},
                                       {"name", QStringLiteral("r%1-%2").arg(round).arg(i)}};
                QNetworkReply *reply = network.post(request, QJsonDocument(body).toJson());
                QObject::connect(reply, &QNetworkReply::finished, reply,
                                 &QNetworkReply::deleteLater);
            }
            QTest::qWait(20 + QRandomGenerator::global()->bounded(120));
            app.kill();

            QFile file(app.dataDir() + "/output.json"); // whole: all 20 windows
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(QJsonDocument::fromJson(file.readAll())["data"]["layout"].toArray().size(),
                     20);
            QVERIFY(app.start());
            QCOMPARE(app.get("/api/output/get.json").json().value("data")["layout_number"].toInt(),
                     20);
        }
    }
};

QTEST_GUILESS_MAIN(TestControlApp)
#include "tst_control_app.moc"
