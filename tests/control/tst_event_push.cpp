// Event push over WebSocket: broadcast to every client in order, clients that talk or
// leave, a port in use, the service's events, "output/update" for each new client once the
// output is open, and the window slots the media side calls.
#include "TestSupport.h"

#include "control/DaemonService.h"
#include "control/WebSocketServer.h"
#include "control/WindowObject.h"
#include "discovery/SourceManager.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

auto named(const QString &name)
{
    return [name](const QJsonObject &message) { return message.value("name").toString() == name; };
}

} // namespace

class TestEventPush : public QObject
{
    Q_OBJECT
private slots:
    void broadcastReachesEveryClientInOrder()
    {
        WebSocketServer server;
        QVERIFY(server.start(0));
        const QString url = QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort());
        drtest::EventClient first, second;
        QVERIFY(first.open(url));
        QVERIFY(second.open(url));
        QVERIFY(drtest::waitUntil([&] { return server.clientCount() == 2; }, 5000));

        server.sendMessages({{"name", "a"}});
        server.sendMessages({{"name", "b"}});
        QVERIFY(second.waitFor(named("b"), 5000));
        QVERIFY(first.waitFor(named("b"), 5000));
        for (const drtest::EventClient *client : {&first, &second})
            QCOMPARE(client->messages(), QList<QJsonObject>({{{"name", "a"}}, {{"name", "b"}}}));

        // Text from a client is ignored; the client stays connected.
        first.socket().sendTextMessage("{\"name\": \"output/get\"}");
        second.close();
        QVERIFY(drtest::waitUntil([&] { return server.clientCount() == 1; }, 5000));
        first.clear();
        server.sendMessages({{"name", "c"}});
        QVERIFY(first.waitFor(named("c"), 5000));
        QCOMPARE(first.messages().size(), 1);

        // A port in use leaves a server without clients that sends nowhere and breaks nothing.
        WebSocketServer refused;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("event channel cannot listen"));
        QVERIFY(!refused.start(server.serverPort()));
        QCOMPARE(refused.serverPort(), 0);
        refused.sendMessages({{"name", "x"}});
    }

    void serviceEventsAndNewClients()
    {
        QTemporaryDir dir;
        WebSocketServer server;
        QVERIFY(server.start(0));
        DaemonService service;
        QVERIFY(service.init(dir.filePath("data"), dir.path(), 0));
        service.setWebSocketServer(&server);
        const QString url = QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort());

        drtest::EventClient early; // before the output opens a new client gets nothing
        QVERIFY(early.open(url));
        QVERIFY(!early.waitFor(named("output/update"), 300));
        QVERIFY(!service.openWindow()); // no source table yet
        SourceManager sources;
        service.sourceManager = &sources;
        QVERIFY(service.openWindow());

        drtest::EventClient late;
        QVERIFY(late.open(url));
        QJsonObject update;
        QVERIFY(late.waitFor(named("output/update"), 5000, &update));
        QVERIFY(early.waitFor(named("output/update"), 5000)); // sent to all clients

        // Several changes of one turn reach clients as one update.
        late.clear();
        service.windowObject()->setName(1, "Stage");
        emit service.updateSource();
        emit service.updateSource();
        QVERIFY(late.waitFor(named("output/update"), 5000, &update));
        QCOMPARE(update.value("data")["layout"][0]["name"], "Stage");
        QTest::qWait(100);
        QCOMPARE(late.messages().size(), 1);

        // Forced stops push only while recording is armed, and always clear the flags.
        late.clear();
        WindowObject &model = *service.windowObject();
        model.setRecordFlags(true);
        service.stopRecord2();
        QVERIFY(!model.isStandBy());
        service.stopRecord();
        model.setRecordFlags(true);
        QTest::ignoreMessage(QtWarningMsg, "path is error !!!!");
        service.sendPathError();
        QVERIFY(!model.isRecording());
        QVERIFY(late.waitFor(named("storePath/error"), 5000));
        model.setRecordFlags(true);
        QTest::ignoreMessage(QtWarningMsg, "Disk is full stop recording and time !!!!");
        service.stopRecord();
        QVERIFY(late.waitFor(named("record/over"), 5000));
        QCOMPARE(late.messages().size(), 2);
        service.setFolderPath(dir.path());
        QVERIFY(late.waitFor(named("storePath/update"), 5000, &update));
        QCOMPARE(update.value("data")["storePath"], dir.path());
    }

    void windowSlotsFromTheMediaSide()
    {
        QTemporaryDir dir;
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        WindowObject &model = *service.windowObject();
        model.setWindowLayout(2, 4);
        QSignalSpy audio(&service, &DaemonService::sendAudioState);
        model.setAudioState(3, "on");
        service.setMute(true, 3);
        QCOMPARE(model.audioState(3), "off");
        QCOMPARE(audio.count(), 0);
        service.setMute(false, 3);
        QCOMPARE(model.audioState(3), "");
        QCOMPARE(audio.takeFirst(), QVariantList({3, false}));

        QSignalSpy sources(&service, &DaemonService::sendSource);
        QSignalSpy shows(&service, &DaemonService::showSingleVideo);
        service.sendCurrentVideo(true, 4); // no source: nothing
        QCOMPARE(sources.count(), 0);
        model.setSource(4, "D");
        model.setShow(4, false, true);
        model.setAudioState(4, "on");
        service.sendCurrentVideo(false, 4);
        QCOMPARE(shows.takeFirst(), QVariantList({4, false, true}));
        QCOMPARE(sources.takeFirst(), QVariantList({4, "D"}));
        QCOMPARE(audio.takeFirst(), QVariantList({4, true}));
    }
};

QTEST_GUILESS_MAIN(TestEventPush)
#include "tst_event_push.moc"
