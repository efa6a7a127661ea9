// The HTTP API served in-process on loopback: reply envelopes, every control route,
// refusal of bad input without changes, the body limit and the static file route.
#include "TestSupport.h"

#include "control/DaemonService.h"
#include "control/JsonFile.h"
#include "control/WindowObject.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestHttpApi : public QObject
{
    Q_OBJECT

    QTemporaryDir m_base;
    QString m_data;
    std::unique_ptr<DaemonService> m_service;
    QString m_root;
    QByteArray m_bigFile;

    QJsonObject get(const QString &path)
    {
        const drtest::HttpReply reply = drtest::httpGet(m_root + path);
        [&] { QCOMPARE(reply.status, 200); }();
        return reply.json();
    }
    QJsonObject post(const QString &path, const QJsonObject &body)
    {
        const drtest::HttpReply reply = drtest::httpPostJson(m_root + path, body);
        [&] { QCOMPARE(reply.status, 200); }();
        return reply.json();
    }
    QJsonObject postRaw(const QString &path, const QByteArray &body)
    {
        const drtest::HttpReply reply =
            drtest::httpPost(m_root + path, body, "application/x-www-form-urlencoded");
        [&] { QCOMPARE(reply.status, 200); }();
        return reply.json();
    }
    // Sends `data` as written (no client-side path normalisation) and collects the answer
    // until the server closes or `untilCount` heads arrived. The server runs on this thread,
    // so the answer is awaited with the event loop running.
    QByteArray rawRequest(const QByteArray &data, int untilCount = 1)
    {
        QTcpSocket socket;
        QByteArray answer;
        bool closed = false;
        connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
        connect(&socket, &QTcpSocket::disconnected, [&] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, m_service->serverPort());
        socket.write(data);
        drtest::waitUntil([&] { return closed || answer.count("HTTP/1.1 ") >= untilCount; }, 5000);
        QTest::qWait(20); // let the rest of the last answer arrive
        return answer;
    }
    static int statusOf(const QByteArray &answer)
    {
        const QList<QByteArray> statusLine = answer.left(answer.indexOf('\r')).split(' ');
        return statusLine.size() > 1 ? statusLine.at(1).toInt() : 0;
    }
    int rawStatus(const QByteArray &target)
    {
        return statusOf(
            rawRequest("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    }
    static QByteArray postHead(const QByteArray &path, qint64 length)
    {
        return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
               "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
    }
    WindowObject &model() { return *m_service->windowObject(); }
    QJsonObject outputJson() { return JsonFile::readJsonFile(m_data + "/output.json"); }

private slots:
    void initTestCase()
    {
        const QString res = m_base.filePath("res");
        writeFile(res + "/index.html", "<html>desk</html>");
        writeFile(res + "/js/app.js", "console.log(1);");
        writeFile(m_base.filePath("secret.txt"), "secret");
        QVERIFY(QFile::link(m_base.filePath("secret.txt"), res + "/link.txt"));
        m_bigFile.resize(3 * 1024 * 1024 + 17);
        for (qsizetype i = 0; i < m_bigFile.size(); ++i)
            m_bigFile[i] = char((i * 7) ^ (i >> 12));
        writeFile(res + "/media/big.bin", m_bigFile);
    }

    void init()
    {
        m_data = m_base.filePath("data-" + QString::fromLatin1(QTest::currentTestFunction()));
        QDir(m_data).removeRecursively();
        m_service = std::make_unique<DaemonService>();
        QVERIFY(m_service->init(m_data, m_base.path(), 0));
        QVERIFY(m_service->startHttpServer());
        QVERIFY(m_service->serverPort() != 0);
        m_root = QStringLiteral("http://127.0.0.1:%1").arg(m_service->serverPort());
    }

    void cleanup() { m_service.reset(); }

    void staticFilesAndNotFound()
    {
        drtest::HttpReply reply = drtest::httpGet(m_root + "/");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, QByteArray("<html>desk</html>"));
        reply = drtest::httpGet(m_root + "/js/app.js");
        QCOMPARE(reply.body, QByteArray("console.log(1);"));
        QCOMPARE(drtest::httpGet(m_root + "/api/unknown.json").status, 404);
        QCOMPARE(drtest::httpGet(m_root + "/js").status, 404); // a folder is no file
        QCOMPARE(rawStatus("/index.html"), 200);
    }

    void pathsLeavingResAreRefused()
    {
        QCOMPARE(rawStatus("/../secret.txt"), 404);
        QCOMPARE(rawStatus("/js/../../secret.txt"), 404);
        QCOMPARE(rawStatus("/%2e%2e/secret.txt"), 404);
        QCOMPARE(rawStatus("/..%2fsecret.txt"), 404);
        QCOMPARE(rawStatus("/link.txt"), 404); // a link that points outside
        QCOMPARE(rawStatus("/../../../../etc/hostname"), 404);
        QCOMPARE(rawStatus("/js/../index.html"), 200); // staying inside is fine
    }

    void largeFilesArriveWhole()
    {
        const drtest::HttpReply reply = drtest::httpGet(m_root + "/media/big.bin", 30000);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body.size(), m_bigFile.size());
        QCOMPARE(QCryptographicHash::hash(reply.body, QCryptographicHash::Md5),
                 QCryptographicHash::hash(m_bigFile, QCryptographicHash::Md5));
    }

    void bodiesOverOneMiBChangeNothing()
    {
        // Refused from the head alone: the body is never buffered.
        const QByteArray answer = rawRequest(postHead("/api/output/setName.json", 5'000'000) +
                                             R"({"position": 1, "name": "Big")");
        QCOMPARE(statusOf(answer), 413);
        QVERIFY(answer.contains(R"("result":"error")"));
        QVERIFY(answer.contains("1 MiB"));
        QCOMPARE(model().name(1), "Camera-1");
        QVERIFY(!QFile::exists(m_data + "/output.json"));

        QCOMPARE(statusOf(rawRequest("POST /api/output/setName.json HTTP/1.1\r\nHost: x\r\n"
                                     "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")),
                 411);
        QCOMPARE(statusOf(rawRequest("GET / HTTP/1.1\r\nX: " + QByteArray(70'000, 'a'))), 431);
        QCOMPARE(statusOf(rawRequest(postHead("/api/ntp/set.json", -1))), 413);

        // Just below the limit is an ordinary request.
        QJsonObject body{{"position", 1}, {"name", "Big"}};
        body.insert("pad", QString(1000 * 1000, 'a'));
        QCOMPARE(post("/api/output/setName.json", body), QJsonObject({{"result", "ok"}}));
        QCOMPARE(model().name(1), "Big");
    }

    void keepAliveRequestsPassTheGuard()
    {
        // Two pipelined requests, the first with a body that looks like an oversized head:
        // the guard must skip it by its length, not read it as the next request.
        const QByteArray first =
            "lang=de&x=\r\n\r\nPOST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n";
        const QByteArray answer =
            rawRequest(postHead("/api/lang/modify.json", first.size()) + first +
                           "GET /api/output/get.json HTTP/1.1\r\nHost: x\r\n\r\n",
                       2);
        QCOMPARE(answer.count("HTTP/1.1 200"), 2);
        QCOMPARE(m_service->getCurrentLang(), "de");
        // A head split over several packets is followed too.
        QTcpSocket socket;
        QByteArray reply;
        connect(&socket, &QTcpSocket::readyRead, [&] { reply += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, m_service->serverPort());
        QVERIFY(drtest::waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; },
                                  5000));
        const QByteArray body = R"({"position": 1, "name": "Split"})";
        const QByteArray whole = postHead("/api/output/setName.json", body.size()) + body;
        for (qsizetype i = 0; i < whole.size(); i += 7) {
            socket.write(whole.mid(i, 7));
            socket.flush();
            QTest::qWait(2);
        }
        QVERIFY(drtest::waitUntil([&] { return reply.contains("\"ok\""); }, 5000));
        QCOMPARE(model().name(1), "Split");
    }

    void queryValuesAreStringsForNumericKeys()
    {
        QSignalSpy saved(m_service.get(), &DaemonService::updateSource);
        // "position" arrives as the string "2", reads as 0: ok, but no window is named.
        QCOMPARE(get("/api/output/setName.json?position=1&name=Cam"),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(model().name(1), "Camera-1");
        QCOMPARE(post("/api/output/setName.json", {{"position", 1}, {"name", "Cam"}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(model().name(1), "Cam");
        QCOMPARE(saved.count(), 2);
        QCOMPARE(outputJson()
                     .value("data")
                     .toObject()
                     .value("layout")
                     .toArray()
                     .at(0)
                     .toObject()
                     .value("name")
                     .toString(),
                 "Cam");
        QCOMPARE(post("/api/output/setName.json", {{"position", 1}}).value("result").toString(),
                 "error");
    }

    void layoutChangesAreCheckedAndSaved()
    {
        QSignalSpy layouts(m_service.get(), &DaemonService::sendLayout);
        const QJsonObject bad[] = {{{"layout_id", 0}, {"layout_number", 1}},
                                   {{"layout_id", 1}},
                                   {{"layout_id", 2}, {"layout_number", -4}},
                                   {{"layout_id", 6}, {"layout_number", 4}},
                                   {{"layout_id", 5}, {"layout_number", 100000}},
                                   {{"layout_id", "3"}, {"layout_number", "9"}}};
        for (const QJsonObject &body : bad)
            QCOMPARE(post("/api/output/setLayout.json", body).value("result").toString(), "error");
        QCOMPARE(layouts.count(), 0);
        QVERIFY(!QFile::exists(m_data + "/output.json"));
        QCOMPARE(model().windowCount(), 1);

        QCOMPARE(post("/api/output/setLayout.json", {{"layout_id", 3}, {"layout_number", 9}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(layouts.count(), 1);
        QCOMPARE(layouts.at(0).at(0).toInt(), 3);
        const QJsonObject output = get("/api/output/get.json");
        QVERIFY(!output.contains("result"));
        QCOMPARE(output.value("data").toObject().value("layout").toArray().size(), 9);
        QCOMPARE(output.value("data").toObject().value("layout_id").toInt(), 3);
        QCOMPARE(outputJson().value("data").toObject().value("layout_count").toInt(), 9);

        const QJsonArray icons = get("/api/output/icon.json").value("data").toArray();
        QCOMPARE(icons.at(2).toObject().value("use_output").toInt(), 1);
        QVERIFY(!icons.at(0).toObject().contains("use_output"));
    }

    void sourcesAndDisplaySwap()
    {
        post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}});
        QSignalSpy sources(m_service.get(), &DaemonService::sendSource);
        QSignalSpy audio(m_service.get(), &DaemonService::sendAudioState);
        QCOMPARE(post("/api/output/setSource.json", {{"position", 1}, {"stream_id", "A"}}),
                 QJsonObject({{"result", "error"}, {"msg", "data struct is error"}}));
        QCOMPARE(sources.count(), 0);

        for (const auto &[position, name] : {std::pair{1, "A"}, std::pair{2, "B"}}) {
            QCOMPARE(post("/api/output/setSource.json",
                          {{"type", "source"}, {"position", position}, {"stream_id", name}}),
                     QJsonObject({{"result", "ok"}}));
        }
        QCOMPARE(sources.count(), 2);
        QCOMPARE(model().streamId(2), "B");
        QCOMPARE(model().vendor(1), ""); // the source change clears the stored vendor
        post("/api/output/window_audio_set.json",
             {{"project_id", "1"}, {"position", "1"}, {"volume", "on"}});
        QCOMPARE(model().audioState(1), "on");
        QCOMPARE(audio.count(), 1);
        QCOMPARE(audio.takeFirst(), QVariantList({1, true}));

        // The web UI swaps by naming each window with the source it is to get.
        sources.clear();
        post("/api/output/setSource.json",
             {{"type", "display"}, {"position", 1}, {"stream_id", "B"}});
        QCOMPARE(sources.count(), 0);
        QVERIFY(m_service->swapPending());
        post("/api/output/setSource.json",
             {{"type", "display"}, {"position", 2}, {"stream_id", "A"}});
        QVERIFY(!m_service->swapPending());
        QCOMPARE(sources.count(), 2);
        QCOMPARE(sources.at(0), QVariantList({1, "B"}));
        QCOMPARE(sources.at(1), QVariantList({2, "A"}));
        QCOMPARE(audio.count(), 2);
        QCOMPARE(audio.at(0), QVariantList({1, false}));
        QCOMPARE(audio.at(1), QVariantList({2, true}));
        QCOMPARE(model().streamId(1), "B");
        QCOMPARE(model().audioState(2), "on");
        QCOMPARE(model().audioState(1), "off");
        const QJsonArray saved = outputJson().value("data").toObject().value("layout").toArray();
        QCOMPARE(saved.at(1).toObject().value("stream_id").toString(), "A");
    }

    void removeAndDeleteAll()
    {
        post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}});
        QSignalSpy removed(m_service.get(), &DaemonService::removeSource);
        // A window that never got a source through setSource cannot be removed.
        QCOMPARE(post("/api/output/remove.json", {{"position", 3}}).value("result").toString(),
                 "error");
        post("/api/output/setSource.json",
             {{"type", "source"}, {"position", 3}, {"stream_id", "C"}});
        QCOMPARE(post("/api/output/remove.json", {{"position", 3}}).value("result").toString(),
                 "ok");
        QCOMPARE(removed.count(), 1);
        QCOMPARE(model().streamId(3), "");
        QCOMPARE(post("/api/output/remove.json", {{"position", 3}}).value("result").toString(),
                 "error");

        post("/api/output/setSource.json",
             {{"type", "source"}, {"position", 1}, {"stream_id", "A"}});
        post("/api/output/setEnable.json",
             {{"position", 1}, {"showVideo", false}, {"showVolume", false}});
        QVERIFY(!model().showVideo(1));
        removed.clear();
        QCOMPARE(get("/api/output/deleteAll.json"), QJsonObject({{"result", "ok"}}));
        QCOMPARE(removed.count(), 4);
        QVERIFY(m_service->outputMap().isEmpty());
        QCOMPARE(model().streamId(1), "");
        QVERIFY(model().showVideo(1));
    }

    void displayFlagsAndAudioRoutes()
    {
        QSignalSpy single(m_service.get(), &DaemonService::showSingleVideo);
        QSignalSpy all(m_service.get(), &DaemonService::showAllVideo);
        QSignalSpy saved(m_service.get(), &DaemonService::updateSource);
        QCOMPARE(post("/api/output/setEnable.json", {{"position", 1}, {"showVideo", false}}),
                 QJsonObject({{"result", "error"}}));
        QCOMPARE(post("/api/output/setEnable.json",
                      {{"position", 1}, {"showVideo", false}, {"showVolume", true}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(single.count(), 1);
        QCOMPARE(saved.count(), 0); // flags reach the file with the next save
        QCOMPARE(post("/api/output/setGlobalVisible.json", {{"outputGlobalVisible", true}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(all.takeFirst(), QVariantList({true}));
        QCOMPARE(post("/api/output/setGlobalVisible.json", {}).value("result").toString(), "error");

        QCOMPARE(post("/api/output/window_audio_set.json", {{"position", 1}, {"volume", "on"}})
                     .value("result")
                     .toString(),
                 "error");
        QCOMPARE(model().audioState(1), "off");
        QCOMPARE(saved.count(), 0);
        QCOMPARE(postRaw("/api/output/window_audio_set.json", "project_id=1&position=1&volume=on"),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(model().audioState(1), "on");
    }

    void sourceAndDiscoveryRoutes()
    {
        QCOMPARE(get("/api/source/get.json"),
                 QJsonObject({{"result", "ok"}, {"data", QJsonArray()}}));
        QCOMPARE(get("/api/source/refresh.json"), QJsonObject({{"result", "ok"}}));
        QCOMPARE(get("/api/discovery/scan/groupChecked.json"),
                 QJsonObject({{"result", "ok"}, {"data", QJsonArray{"public"}}}));
        QCOMPARE(get("/api/discovery/scan/getManualIps.json"),
                 QJsonObject({{"result", "ok"}, {"data", QJsonArray()}}));

        const QString groupsFile = m_data + "/groups.json";
        QCOMPARE(
            post("/api/discovery/scan/addManualIp.json", {{"group_name", QJsonArray{"public"}}})
                .value("result")
                .toString(),
            "error");
        QCOMPARE(post("/api/discovery/scan/addManualIp.json",
                      {{"group_name", "public"}, {"ip", QJsonArray{}}})
                     .value("result")
                     .toString(),
                 "error");
        QVERIFY(!QFile::exists(groupsFile));
        // Same values as stored: accepted, nothing written.
        QCOMPARE(post("/api/discovery/scan/addManualIp.json",
                      {{"group_name", QJsonArray{"public"}}, {"ip", QJsonArray{}}}),
                 QJsonObject({{"result", "ok"}}));
        QVERIFY(!QFile::exists(groupsFile));
        // Form arrays: one shared array under the last name, so "ip" gets both values.
        QCOMPARE(postRaw("/api/discovery/scan/addManualIp.json", "group_name[]=x&ip[]=10.0.0.2"),
                 QJsonObject({{"result", "error"}}));
        const QJsonObject request{{"group_name", QJsonArray{"studio", "", "b"}},
                                  {"ip", QJsonArray{"10.0.0.2", "10.0.0.3"}}};
        QCOMPARE(post("/api/discovery/scan/addManualIp.json", request),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(JsonFile::readJsonFile(groupsFile), request);
        QCOMPARE(get("/api/discovery/scan/groupChecked.json").value("data").toArray(),
                 QJsonArray({"studio", "b"}));
        QCOMPARE(get("/api/discovery/scan/getManualIps.json").value("data").toArray(),
                 QJsonArray({"10.0.0.2", "10.0.0.3"}));
    }

    void languageRoute()
    {
        QSignalSpy changed(m_service.get(), &DaemonService::languageChanged);
        const QString ini = m_data + "/lang.ini";
        QCOMPARE(post("/api/lang/modify.json", {{"lang", "zh"}}), QJsonObject({{"result", "ok"}}));
        QCOMPARE(post("/api/lang/modify.json", {{"lang", ""}}), QJsonObject({{"result", "ok"}}));
        QCOMPARE(post("/api/lang/modify.json", {}), QJsonObject({{"result", "error"}}));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!QFile::exists(ini));
        QCOMPARE(get("/api/lang/modify.json?lang=en"), QJsonObject({{"result", "ok"}}));
        QCOMPARE(changed.takeFirst(), QVariantList({"en"}));
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value("ChangeLanguage/Language").toString(),
                 "en");
        const QJsonObject config = get("/api/config/general/get.json").value("data").toObject();
        const QJsonArray options = config.value("languageOptions").toArray();
        QVERIFY(!options.at(0).toObject().contains("default"));
        QCOMPARE(options.at(1).toObject().value("default").toBool(), true);
    }

    void generalConfiguration()
    {
        const QJsonObject reply = get("/api/config/general/get.json");
        QCOMPARE(reply.value("result").toString(), "ok");
        const QJsonObject data = reply.value("data").toObject();
        QCOMPARE(data.value("version").toString(), "1.13.0003");
        QCOMPARE(data.value("languageShow").toBool(), true);
        QCOMPARE(data.value("logoShow").toBool(), false);
        QCOMPARE(data.value("deviceName").toObject().value("en").toString(), "Capture Station");
        const QJsonArray options = data.value("languageOptions").toArray();
        QCOMPARE(options.at(0).toObject().value("value").toString(), "zh");
        QCOMPARE(options.at(0).toObject().value("default").toBool(), true);
        const QUrl qrcode(data.value("qrcode").toString());
        QCOMPARE(qrcode.scheme(), "http");
        QCOMPARE(qrcode.port(), 0); // the port given to init
        QCOMPARE(qrcode.path(), "/index.html");
        QVERIFY(QHostAddress(qrcode.host()).protocol() == QAbstractSocket::IPv4Protocol);
    }

    void projectRoutes()
    {
        QSignalSpy project(m_service.get(), &DaemonService::updateProject);
        QCOMPARE(get("/api/project/getList.json"),
                 QJsonObject({{"result", "ok"},
                              {"data", QJsonArray{QJsonObject{{"project_id", 1},
                                                              {"project_name", "Default Project"},
                                                              {"current", true}}}}}));
        QCOMPARE(post("/api/project/set.json", {{"project_name", "X"}}).value("result").toString(),
                 "error");
        QCOMPARE(project.count(), 0);
        QCOMPARE(post("/api/project/set.json", {{"project_id", 1}, {"project_name", "Gala"}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(project.count(), 1);
        QCOMPARE(outputJson().value("data").toObject().value("name").toString(), "Gala");
        QCOMPARE(get("/api/project/getList.json")
                     .value("data")
                     .toArray()
                     .at(0)
                     .toObject()
                     .value("project_name")
                     .toString(),
                 "Gala");
    }

    void clockRoutes()
    {
        QCOMPARE(get("/api/ntp/get.json"),
                 QJsonObject(
                     {{"result", "ok"}, {"data", QJsonObject{{"addressList", QJsonArray{""}}}}}));
        QCOMPARE(get("/api/ntp/diff.json"),
                 QJsonObject({{"result", "ok"}, {"data", QJsonObject{{"diff", 0}}}}));
        QCOMPARE(
            post("/api/ntp/set.json", {{"addressList", QJsonArray{}}}).value("result").toString(),
            "error");
        QCOMPARE(post("/api/ntp/set.json", {{"addressList", "pool"}}).value("result").toString(),
                 "error");
        QVERIFY(!QFile::exists(m_data + "/ntp.ini"));
        QCOMPARE(post("/api/ntp/set.json", {{"addressList", QJsonArray{"10.0.0.9", "x"}}}),
                 QJsonObject({{"result", "ok"}}));
        QCOMPARE(get("/api/ntp/get.json").value("data").toObject().value("addressList").toArray(),
                 QJsonArray{"10.0.0.9"});
        QCOMPARE(QSettings(m_data + "/ntp.ini", QSettings::IniFormat)
                     .value("ChangeNtpServer/addr")
                     .toString(),
                 "10.0.0.9");

        post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}});
        post("/api/output/setSource.json",
             {{"type", "source"}, {"position", 2}, {"stream_id", "S"}});
        post("/api/output/setSource.json",
             {{"type", "source"}, {"position", 4}, {"stream_id", ""}});
        QSignalSpy apply(m_service.get(), &DaemonService::applySingleNtp);
        QCOMPARE(get("/api/ntp/apply.json"), QJsonObject({{"result", "ok"}}));
        QCOMPARE(apply.count(), 1);
        QCOMPARE(apply.takeFirst(), QVariantList({2, "10.0.0.9"}));
        QCOMPARE(post("/api/ntp/sync.json", {}).value("result").toString(), "error");
        QCOMPARE(apply.count(), 0);
        QCOMPARE(post("/api/ntp/sync.json", {{"position", 3}}), QJsonObject({{"result", "ok"}}));
        QCOMPARE(apply.takeFirst(), QVariantList({3, "10.0.0.9"}));
    }

    void recordStatusRoute()
    {
        model().setRecordFlags(true);
        // No store path: the flags are cleared before the reply.
        QCOMPARE(
            get("/api/record/get.json"),
            QJsonObject({{"result", "ok"},
                         {"data", QJsonObject{{"isStandBy", false}, {"isRecording", false}}}}));
        model().setStorePath(m_base.path());
        model().setRecordFlags(true);
        QCOMPARE(get("/api/record/get.json").value("data").toObject().value("isRecording").toBool(),
                 true);
        QVERIFY(m_service->getRecordState());
    }

    void garbageNeverBreaksTheServer()
    {
        const QByteArray bodies[] = {"",
                                     "{",
                                     "[]",
                                     "null",
                                     "\"x\"",
                                     "%%%&&==[]",
                                     "a[]=1&a[]=2",
                                     QByteArray(4096, '\xff'),
                                     "{\"position\": {\"x\": []}}"};
        const char *routes[] = {
            "/api/output/setSource.json", "/api/output/setLayout.json",
            "/api/output/setName.json",   "/api/output/remove.json",
            "/api/ntp/set.json",          "/api/discovery/scan/addManualIp.json",
            "/api/lang/modify.json",      "/api/project/set.json"};
        for (const char *route : routes) {
            for (const QByteArray &body : bodies) {
                const QJsonObject reply = postRaw(route, body);
                QVERIFY2(reply.contains("result"), route);
            }
        }
        QCOMPARE(model().windowCount(), 1);
        QCOMPARE(m_service->getCurrentLang(), "zh");
        QCOMPARE(get("/api/output/get.json").value("data").toObject().value("layout_id").toInt(),
                 1);
    }
};

QTEST_GUILESS_MAIN(TestHttpApi)
#include "tst_http_api.moc"
