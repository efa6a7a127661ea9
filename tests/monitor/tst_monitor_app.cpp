// The headless application with real test sources: window states and levels without tiles,
// the preview JPEG (decoded, bars in order, ETag), each alarm raised within its duration
// + 1 s and cleared when its fault ends, a switched-off alarm never raised, and the
// refusals of bad input.
#include "../media/NdiSourceProcess.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

using mediatest::NdiSourceProcess;

namespace {

// 75% colour bars as R'G'B', left to right: white, yellow, cyan, green, magenta, red, blue.
constexpr int kBarsRgb[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};

QJsonObject windowStatus(drtest::AppInstance &app, int position)
{
    const QJsonObject output = app.get("/api/output/get.json").json();
    for (const QJsonValue &v : output["data"]["layout"].toArray())
        if (v["id"].toInt() == position)
            return v.toObject();
    return {};
}

struct Fetched
{
    int status = 0;
    QByteArray body, etag, type;
};

Fetched fetch(const QString &url, const QByteArray &ifNoneMatch = {})
{
    static QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    if (!ifNoneMatch.isEmpty())
        request.setRawHeader("If-None-Match", ifNoneMatch);
    QNetworkReply *reply = manager.get(request);
    drtest::waitUntil([reply] { return reply->isFinished(); }, 10000);
    Fetched f{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
              reply->rawHeader("ETag"), reply->rawHeader("Content-Type")};
    reply->deleteLater();
    return f;
}

bool isErrorEnvelope(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object().value("result").toString() == "error";
}

} // namespace

class TestMonitorApp : public QObject
{
    Q_OBJECT

    NdiSourceProcess bars, faults;
    drtest::AppInstance app;
    drtest::EventClient events;

    QString preview(int position) const
    {
        return app.url("/api/output/preview.jpg?position=" + QString::number(position));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bars.start("monitor bars"));
        QVERIFY(faults.start("monitor faults"));
        QVERIFY(app.start({}, mediatest::isolatedRuntimeEnv()));
        QVERIFY(events.open(app.wsUrl()));
        QCOMPARE(app.post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}})
                     .json()["result"]
                     .toString(),
                 QString("ok"));
        const QStringList sources{bars.fullName(), faults.fullName(), "nobody here"};
        for (int p = 1; p <= 3; ++p) {
            const QJsonObject set{
                {"type", "source"}, {"position", p}, {"stream_id", sources[p - 1]}};
            QCOMPARE(app.post("/api/output/setSource.json", set).json()["result"].toString(),
                     QString("ok"));
        }
    }

    void statesLevelsAndPreview()
    {
        // States as a tile would show them, and the tone's level, with no tile anywhere.
        QVERIFY(drtest::waitUntil(
            [&] {
                return windowStatus(app, 1)["state"] == "play" &&
                       windowStatus(app, 2)["state"] == "play" &&
                       windowStatus(app, 3)["state"] == "failed" &&
                       windowStatus(app, 4)["state"] == "idle";
            },
            15000));
        QVERIFY(drtest::waitUntil([&] { return windowStatus(app, 1)["volume_1"].toInt() == -20; },
                                  5000));
        QCOMPARE(windowStatus(app, 1)["volume_2"].toInt(), -20);
        QVERIFY(events.waitFor(
            [](const QJsonObject &m) {
                return m["name"] == "levels/update" &&
                       qAbs(m["data"][0]["levels"][0].toDouble() + 20.0) < 0.5;
            },
            5000));
        QCOMPARE(bars.connections(), 1); // one receiver: the feed's low stream

        const Fetched first = fetch(preview(1));
        QCOMPARE(first.status, 200);
        QCOMPARE(first.type, QByteArray("image/jpeg"));
        QImage image;
        QVERIFY(image.loadFromData(first.body, "JPEG"));
        QCOMPARE(image.size(), QSize(640, 360));
        for (int bar = 0; bar < 7; ++bar) {
            const QColor c =
                image.pixelColor(image.width() * (2 * bar + 1) / 14, image.height() / 3);
            const int *want = kBarsRgb[bar];
            QVERIFY2(qAbs(c.red() - want[0]) <= 8 && qAbs(c.green() - want[1]) <= 8 &&
                         qAbs(c.blue() - want[2]) <= 8,
                     qPrintable(QString("bar %1 is %2").arg(bar).arg(c.name())));
        }
        // The same picture again is not sent again (the tag may move on with a new frame).
        bool notModified = false;
        for (int i = 0; i < 10 && !notModified; ++i) {
            const Fetched again = fetch(preview(1));
            notModified = fetch(preview(1), again.etag).status == 304;
        }
        QVERIFY(notModified);

        // Bad input: the JSON error envelope, nothing encoded.
        for (const QString &bad : {QString("abc"), QString(""), QString("1e3")}) {
            const Fetched f = fetch(app.url("/api/output/preview.jpg?position=" + bad));
            QCOMPARE(f.status, 400);
            QVERIFY(isErrorEnvelope(f.body));
        }
        for (int position : {0, 3, 4, 99, -1}) {
            const Fetched f = fetch(preview(position));
            QCOMPARE(f.status, 404);
            QVERIFY(isErrorEnvelope(f.body));
        }
    }

    void alarmSettingsRefuseBadInput()
    {
        const QJsonObject before = app.get("/api/alarm/get.json").json();
        QCOMPARE(before["data"]["silent"]["threshold"].toDouble(), -60.0);
        const QList<QJsonObject> bad{{{"black", QJsonObject{{"seconds", -1}}}},
                                     {{"black", QJsonObject{{"seconds", 1e9}}}},
                                     {{"silent", QJsonObject{{"threshold", 20}}}},
                                     {{"frozen", QJsonObject{{"enabled", "no"}}}},
                                     {{"nosignal", QJsonObject{{"threshold", 3}}}},
                                     {{"smoke", QJsonObject{{"enabled", true}}}},
                                     {{"black", QJsonObject{{"seconds", 1}}}, {"silent", 5}},
                                     {}};
        for (const QJsonObject &request : bad)
            QVERIFY2(app.post("/api/alarm/set.json", request).json()["result"] == "error",
                     QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
        QCOMPARE(app.get("/api/alarm/get.json").json(), before);
    }

    void alarmsRaiseAndClear()
    {
        // Short durations keep the test short; frozen is switched off first.
        QJsonObject shortRules;
        for (const char *kind : {"black", "frozen", "silent", "nosignal"})
            shortRules.insert(kind,
                              QJsonObject{{"seconds", 1}, {"enabled", QString(kind) != "frozen"}});
        QCOMPARE(app.post("/api/alarm/set.json", shortRules).json()["result"].toString(),
                 QString("ok"));
        QVERIFY(QFile::exists(app.dataDir() + "/alarms.json"));

        auto alarmEvent = [&](const QString &kind, bool active, int timeoutMs) {
            return events.waitFor(
                [&](const QJsonObject &m) {
                    return m["name"] == "alarm/update" && m["data"]["position"].toInt() == 2 &&
                           m["data"]["kind"] == kind && m["data"]["active"].toBool() == active;
                },
                timeoutMs);
        };
        auto command = [&](const QByteArray &line) { faults.process().write(line + "\n"); };

        events.clear();
        command("freeze on");
        QVERIFY(faults.waitForOutput("freeze=1", 3000));
        QVERIFY(!alarmEvent("frozen", true, 2500)); // switched off: never raised
        command("freeze off");
        QCOMPARE(app.post("/api/alarm/set.json", {{"frozen", QJsonObject{{"enabled", true}}}})
                     .json()["result"]
                     .toString(),
                 QString("ok"));

        const QList<QPair<QByteArray, QString>> faultsAndAlarms{
            {"black", "black"}, {"freeze", "frozen"}, {"mute", "silent"}, {"pause", "nosignal"}};
        for (const auto &[fault, kind] : faultsAndAlarms) {
            events.clear();
            QElapsedTimer clock;
            clock.start();
            command(fault + " on");
            QVERIFY2(alarmEvent(kind, true, 2000 + 500), qPrintable(kind)); // 1 s + 1 s, + stdin
            QVERIFY2(clock.elapsed() >= 900, qPrintable(kind));
            const QJsonArray list = app.get("/api/alarm/list.json").json()["data"].toArray();
            QVERIFY(std::any_of(list.begin(), list.end(), [&](const QJsonValue &a) {
                return a["position"].toInt() == 2 && a["kind"] == kind && a["since"].toDouble() > 0;
            }));
            command(fault + " off");
            QVERIFY2(alarmEvent(kind, false, 2500), qPrintable(kind));
        }
        // The healthy source never had an alarm and the faulty one has none left; the
        // window whose source is not there has "nosignal".
        QVERIFY(drtest::waitUntil(
            [&] {
                const QJsonArray list = app.get("/api/alarm/list.json").json()["data"].toArray();
                return list.size() == 1 && list[0]["position"].toInt() == 3 &&
                       list[0]["kind"] == "nosignal";
            },
            3000));
        QVERIFY(!drtest::readLogs(app.dataDir()).contains("on window 1 "));
        QCOMPARE(app.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMonitorApp)
#include "tst_monitor_app.moc"
