// The real binary, headless on free ports with its own data folder: settings survive a
// clean restart, a kill during a burst of saves leaves a valid settings file, and web
// clients follow changes over the event channel.
#include "TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>

namespace {

QJsonObject ok()
{
    return QJsonObject{{"result", "ok"}};
}

QJsonObject windowEntry(drtest::AppInstance &app, int position)
{
    const QJsonArray layout =
        app.get("/api/output/get.json").json().value("data").toObject().value("layout").toArray();
    for (const QJsonValue &entry : layout) {
        if (entry.toObject().value("id").toInt() == position)
            return entry.toObject();
    }
    return {};
}

// The data of output.json when it is a whole, valid document; {} otherwise.
QJsonObject savedOutput(const QString &dataDir)
{
    QFile file(dataDir + "/output.json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return {};
    return document.object().value("data").toObject();
}

} // namespace

class TestControlApp : public QObject
{
    Q_OBJECT
private slots:
    void settingsSurviveRestart()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QCOMPARE(windowEntry(app, 1).value("name").toString(), "Camera-1");

        QCOMPARE(
            app.post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}}).json(),
            ok());
        QCOMPARE(app.post("/api/output/setName.json", {{"position", 2}, {"name", "Left"}}).json(),
                 ok());
        QCOMPARE(app.post("/api/output/setSource.json",
                          {{"type", "source"}, {"position", 3}, {"stream_id", "HOST (Cam 3)"}})
                     .json(),
                 ok());
        QCOMPARE(app.post("/api/output/window_audio_set.json",
                          {{"project_id", 1}, {"position", 3}, {"volume", "on"}})
                     .json(),
                 ok());
        QCOMPARE(app.post("/api/lang/modify.json", {{"lang", "en"}}).json(), ok());
        QCOMPARE(app.post("/api/ntp/set.json", {{"addressList", QJsonArray{"10.9.8.7"}}}).json(),
                 ok());
        QCOMPARE(
            app.post("/api/project/set.json", {{"project_id", 1}, {"project_name", "Gala"}}).json(),
            ok());
        QCOMPARE(app.post("/api/discovery/scan/addManualIp.json",
                          {{"group_name", QJsonArray{"studio"}}, {"ip", QJsonArray{"10.0.0.5"}}})
                     .json(),
                 ok());
        // Bad input in between changes nothing.
        QCOMPARE(app.post("/api/output/setLayout.json", {{"layout_id", 0}, {"layout_number", 9}})
                     .json()
                     .value("result")
                     .toString(),
                 "error");

        QCOMPARE(app.stop(), 0); // SIGTERM ends the process cleanly
        QVERIFY(app.start());

        const QJsonObject output = app.get("/api/output/get.json").json().value("data").toObject();
        QCOMPARE(output.value("layout_id").toInt(), 2);
        QCOMPARE(output.value("layout_number").toInt(), 4);
        QCOMPARE(windowEntry(app, 2).value("name").toString(), "Left");
        QCOMPARE(windowEntry(app, 3).value("stream_id").toString(), "HOST (Cam 3)");
        QCOMPARE(windowEntry(app, 3).value("volume").toString(), "on");
        const QJsonArray options = app.get("/api/config/general/get.json")
                                       .json()
                                       .value("data")
                                       .toObject()
                                       .value("languageOptions")
                                       .toArray();
        QCOMPARE(options.at(1).toObject().value("default").toBool(), true);
        QCOMPARE(app.get("/api/ntp/get.json").json().value("data").toObject().value("addressList"),
                 QJsonArray{"10.9.8.7"});
        QCOMPARE(app.get("/api/project/getList.json")
                     .json()
                     .value("data")
                     .toArray()
                     .at(0)
                     .toObject()
                     .value("project_name")
                     .toString(),
                 "Gala");
        QCOMPARE(app.get("/api/discovery/scan/groupChecked.json").json().value("data"),
                 QJsonArray{"studio"});
        QCOMPARE(app.get("/api/discovery/scan/getManualIps.json").json().value("data"),
                 QJsonArray{"10.0.0.5"});
        QCOMPARE(QSettings(app.dataDir() + "/lang.ini", QSettings::IniFormat)
                     .value("ChangeLanguage/Language")
                     .toString(),
                 "en");
    }

    void killDuringSavesLeavesValidFile()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QCOMPARE(app.post("/api/output/setLayout.json", {{"layout_id", 5}, {"layout_number", 20}})
                     .json(),
                 ok());
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

            const QJsonObject saved = savedOutput(app.dataDir());
            QVERIFY2(!saved.isEmpty(), "output.json is missing or not whole after a kill");
            QCOMPARE(saved.value("layout").toArray().size(), 20);
            QVERIFY(app.start());
            QCOMPARE(app.get("/api/output/get.json")
                         .json()
                         .value("data")
                         .toObject()
                         .value("layout_number")
                         .toInt(),
                     20);
        }
    }

    void badInputIsRefusedAndChangesNothing()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        QCOMPARE(app.post("/api/output/setName.json", {{"position", 1}, {"name", "Keep"}}).json(),
                 ok());
        const QByteArray before = [&] {
            QFile file(app.dataDir() + "/output.json");
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        QVERIFY(!before.isEmpty());

        // Over the body limit: refused (413, or the connection closed while sending).
        QByteArray big = "{\"position\": 1, \"name\": \"Big\", \"pad\": \"";
        big += QByteArray(3 * 1024 * 1024, 'a') + "\"}";
        const drtest::HttpReply refused =
            drtest::httpPost(app.url("/api/output/setName.json"), big);
        QVERIFY2(refused.status == 413 || refused.status == 0, QByteArray::number(refused.status));
        // Not JSON, wrong types, missing keys, unknown routes.
        const QByteArray junk[] = {"{{{", "\xff\xfe\x00", "position=1&name", "[1,2]",
                                   "{\"position\": \"one\", \"name\": [\"x\"]}"};
        for (const QByteArray &body : junk) {
            QCOMPARE(drtest::httpPost(app.url("/api/output/setLayout.json"), body).json(),
                     QJsonObject({{"result", "error"}}));
            QCOMPARE(drtest::httpPost(app.url("/api/output/setName.json"), body).status, 200);
        }
        QCOMPARE(app.get("/api/nothing/here.json").status, 404);
        QCOMPARE(app.get("/../../etc/passwd").status, 404);

        QVERIFY(app.process().isRunning());
        QCOMPARE(windowEntry(app, 1).value("name").toString(), "Keep");
        QFile file(app.dataDir() + "/output.json");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    void eventsFollowChanges()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        drtest::EventClient first;
        QVERIFY(first.open(app.wsUrl()));
        const auto isUpdate = [](const QJsonObject &message) {
            return message.value("name").toString() == "output/update";
        };
        QVERIFY(first.waitFor(isUpdate, 5000)); // a new client gets the windows at once

        drtest::EventClient second;
        QVERIFY(second.open(app.wsUrl()));
        QVERIFY(second.waitFor(isUpdate, 5000));
        first.clear();
        second.clear();
        QCOMPARE(app.post("/api/output/setName.json", {{"position", 1}, {"name", "Live"}}).json(),
                 ok());
        const auto renamed = [](const QJsonObject &message) {
            return message.value("name").toString() == "output/update" &&
                   message.value("data")
                           .toObject()
                           .value("layout")
                           .toArray()
                           .at(0)
                           .toObject()
                           .value("name")
                           .toString() == "Live";
        };
        QVERIFY(first.waitFor(renamed, 5000));
        QVERIFY(second.waitFor(renamed, 5000));
    }
};

QTEST_GUILESS_MAIN(TestControlApp)
#include "tst_control_app.moc"
