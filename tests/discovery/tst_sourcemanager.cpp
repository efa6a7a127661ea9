// The source table: rounds, ageing, address changes, targets, capability rules, the JSON
// list, sticking and the device probe against a loopback HTTP responder.
#include "discovery/SourceManager.h"

#include "TestSupport.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// A connection without a receiver whose capability record the test sets.
class FakeConnection : public MediaConnection
{
public:
    CapabilitiesPtr caps;
    CapabilitiesPtr getCapabilities(int) override { return caps; }

protected:
    MediaInstancePtr createInstance(int, const QString &, const QString &) override { return {}; }
    int checkConnection(const MediaInstancePtr &) override { return NoReceiver; }
    VideoFramePtr captureVideo(const MediaInstancePtr &, bool) override { return {}; }
    AudioFramePtr captureAudio(const MediaInstancePtr &, bool, int) override { return {}; }
    CapabilitiesPtr queryCapabilities(const MediaInstancePtr &) override { return {}; }
    void sendTally(const MediaInstancePtr &, bool, bool) override {}
    void sendNtp(const MediaInstancePtr &, const QString &) override {}
};

using Found = QList<SourceManager::FoundSource>;

SourceManager::FoundSource src(const QByteArray &name, const QByteArray &address)
{
    return {name, address};
}

// Answers every HTTP request with a fixed body and remembers the last request's head.
class HttpResponder : public QTcpServer
{
public:
    QByteArray body;
    QByteArray lastRequest;
    int requests = 0;

    HttpResponder()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    QByteArray &buffer = m_buffers[socket];
                    buffer += socket->readAll();
                    if (!buffer.contains("\r\n\r\n"))
                        return;
                    lastRequest = buffer;
                    ++requests;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

private:
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

} // namespace

class TestSourceManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // Probes of hosts in these tests go to a closed loopback port unless a test says so.
        qputenv(SourceManager::kProbePortEnv, "1");
    }

    void roundsBuildTheTable()
    {
        SourceManager manager;
        manager.setConnectionFactory([](const QString &, const QString &) { return nullptr; });
        QSignalSpy changes(&manager, &SourceManager::sourceListChanged);
        QCOMPARE(manager.getSourcesJson(), QJsonObject({{"result", "ok"}}));

        manager.updateSourceList({src("", "10.0.0.9:5961"), src("b (one)", "127.0.0.2:5961"),
                                  src("a (two)", "127.0.0.3:5961"),
                                  src("a (two)", "127.0.0.4:5962")},
                                 1000);
        QCOMPARE(manager.sourceCount(), 2); // empty name dropped, duplicate key shares a record
        QCOMPARE(manager.getAddress("a (two)"), QString("127.0.0.4:5962")); // later one wins
        QCOMPARE(manager.getSourceAddress("b (one)"), QString("127.0.0.2:5961"));
        QCOMPARE(manager.getAddress("nobody"), QString());
        QCOMPARE(manager.getWebUrl("nobody"), QString());
        QVERIFY(!manager.getSupportPTZ("nobody"));
        QVERIFY(!manager.getConnection("a (two)")); // the factory made none
        QCOMPARE(changes.count(), 1);

        const QJsonObject json = manager.getSourcesJson();
        QCOMPARE(json.value("result").toString(), QString("ok"));
        const QJsonArray data = json.value("data").toArray();
        QCOMPARE(data.size(), 2);
        const QJsonObject first = data.at(0).toObject();
        QCOMPARE(first.value("name").toString(), QString("a (two)")); // key order
        QCOMPARE(first.value("id").toString(), QString("a (two)"));
        QCOMPARE(first.value("stream_id").toString(), QString("a (two)"));
        QCOMPARE(first.value("ip").toString(), QString("127.0.0.4:5962"));
        QCOMPARE(first.value("url").toString(), QString(""));
        QCOMPARE(first.value("official").toBool(true), false);
        QCOMPARE(first.value("switch").toBool(true), false);
    }

    void utf8NamesRoundTrip()
    {
        SourceManager manager;
        const QString name = QString::fromUtf8("Bühne – Kamera 東 (Ç)");
        manager.updateSourceList({src(name.toUtf8(), "127.0.0.2:5961")}, 1000);
        QCOMPARE(manager.getAddress(name), QString("127.0.0.2:5961"));
        QCOMPARE(manager.getSourcesJson()
                     .value("data")
                     .toArray()
                     .at(0)
                     .toObject()
                     .value("name")
                     .toString(),
                 name);
    }

    void sourcesAgeOutAfterFiveSeconds()
    {
        SourceManager manager;
        std::weak_ptr<MediaConnection> made;
        manager.setConnectionFactory([&](const QString &name, const QString &address) {
            auto connection = std::make_shared<FakeConnection>();
            connection->setSource(0, name, address);
            made = connection;
            return connection;
        });
        QSignalSpy updates(&manager, &SourceManager::sourceUpdated);
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, 10000);
        MediaConnectionPtr held = manager.getConnection("cam");
        QVERIFY(held);
        QCOMPARE(held->sourceName(), QString("cam"));

        manager.updateSourceList({}, 14999); // gone for less than 5 s: kept
        QCOMPARE(manager.sourceCount(), 1);
        QVERIFY(updates.isEmpty());
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, 14999); // back: clock restarts
        manager.updateSourceList({}, 19998);
        QCOMPARE(manager.sourceCount(), 1);
        manager.updateSourceList({}, 19999);
        QCOMPARE(manager.sourceCount(), 0);
        QCOMPARE(updates.count(), 1);
        const QList<QVariant> removed = updates.takeFirst();
        QCOMPARE(removed.at(0).toString(), QString("none"));
        QCOMPARE(removed.at(1).toString(), QString("cam"));
        QCOMPARE(removed.at(2).toString(), QString(""));
        manager.updateSourceList({}, 30000);
        QVERIFY(updates.isEmpty()); // reported once

        // The table let go; the holder keeps the connection alive.
        QVERIFY(!manager.getConnection("cam"));
        QVERIFY(!made.expired());
        held.reset();
        QVERIFY(made.expired());
    }

    void addressChangeKeepsTheConnection()
    {
        SourceManager manager;
        manager.setConnectionFactory(
            [](const QString &, const QString &) { return std::make_shared<FakeConnection>(); });
        QSignalSpy moved(&manager, &SourceManager::sourceAddressChanged);
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, 1000);
        MediaConnection *before = manager.getConnection("cam").get();
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, 1200);
        QCOMPARE(moved.count(), 0);
        manager.updateSourceList({src("cam", "127.0.0.5:5970")}, 1400);
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved.at(0).at(0).toString(), QString("cam"));
        QCOMPARE(moved.at(0).at(1).toString(), QString("127.0.0.5:5970"));
        QCOMPARE(manager.getAddress("cam"), QString("127.0.0.5:5970"));
        QCOMPARE(manager.getConnection("cam").get(), before);
    }

    void targetsRecreateTheFinderOnlyWhenChanged()
    {
        SourceManager manager;
        std::mutex lock;
        QList<QPair<QString, QString>> created; // groups/ips of each (re)created finder
        int rounds = 0;
        manager.setSourceLister(
            [&](const QString &groups, const QString &ips, bool recreate, Found *found) {
                QThread::msleep(10);
                std::unique_lock locker(lock);
                ++rounds;
                if (recreate)
                    created.append({groups, ips});
                found->append(src("cam", "127.0.0.2:5961"));
                return true;
            });
        auto roundsNow = [&] {
            std::unique_lock locker(lock);
            return rounds;
        };
        auto createdNow = [&] {
            std::unique_lock locker(lock);
            return created;
        };
        QCOMPARE(manager.groups(), QString("public"));
        manager.startDiscover();
        QVERIFY(drtest::waitUntil([&] { return manager.sourceCount() == 1; }, 5000));
        QCOMPARE(createdNow().size(), 1);
        QCOMPARE(createdNow().at(0).first, QString("public"));

        manager.setNDIManualTargets("public", ""); // same values: no new finder
        int mark = roundsNow();
        QVERIFY(drtest::waitUntil([&] { return roundsNow() > mark + 2; }, 5000));
        QCOMPARE(createdNow().size(), 1);

        manager.setNDIManualTargets("studio,public", "10.1.1.1,10.1.1.2");
        mark = roundsNow();
        QVERIFY(drtest::waitUntil([&] { return roundsNow() > mark + 2; }, 5000));
        QCOMPARE(createdNow().size(), 2);
        QCOMPARE(createdNow().at(1),
                 qMakePair(QString("studio,public"), QString("10.1.1.1,10.1.1.2")));

        manager.forceRefresh();
        mark = roundsNow();
        QVERIFY(drtest::waitUntil([&] { return roundsNow() > mark + 2; }, 5000));
        QCOMPARE(createdNow().size(), 3);
        manager.stopDiscover();
        QVERIFY(manager.isFinished());
        QCOMPARE(manager.sourceCount(), 1); // the table outlives the loop
    }

    void failingFinderLeavesTheTableAlone()
    {
        SourceManager manager;
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, MediaConnection::nowMs());
        std::atomic<int> attempts{0};
        manager.setSourceLister([&](const QString &, const QString &, bool recreate, Found *) {
            if (recreate)
                ++attempts;
            return false;
        });
        QTest::ignoreMessage(QtWarningMsg, "ERROR: Fail to create NDI finder!");
        QTest::ignoreMessage(QtWarningMsg, "ERROR: Fail to create NDI finder!");
        manager.startDiscover();
        QVERIFY(drtest::waitUntil([&] { return attempts >= 2; }, 5000)); // retried, recreating
        manager.stopDiscover();
        QCOMPARE(manager.sourceCount(), 1); // no successful round: nothing aged out
    }

    void capabilityUpdatesFollowTheRules()
    {
        SourceManager manager;
        std::shared_ptr<FakeConnection> fake;
        manager.setConnectionFactory([&](const QString &, const QString &) {
            fake = std::make_shared<FakeConnection>();
            return fake;
        });
        manager.updateSourceList({src("cam", "127.0.0.2:5961"), src("plain", "127.0.0.3:5961")},
                                 1000);
        QSignalSpy source(&manager, &SourceManager::sourceUpdated);
        QSignalSpy ntp(&manager, &SourceManager::ntpUpdated);
        auto report = [&](auto edit) {
            auto caps = std::make_shared<Media_capabilities_t>();
            caps->ntp_state = "unsync";
            caps->vendor = "Varimont";
            edit(*caps);
            std::static_pointer_cast<FakeConnection>(manager.getConnection("cam"))->caps = caps;
            manager.updateCapabilities("cam", 2);
        };

        // No record from the connection: nothing changes.
        QTest::ignoreMessage(QtWarningMsg, "getCapabilities failed : \"cam\" \"127.0.0.2:5961\"");
        manager.updateCapabilities("cam", 2);
        manager.updateCapabilities("unknown", 2);
        QVERIFY(source.isEmpty() && ntp.isEmpty());

        // URL and PTZ change with the NTP part: only the NTP signal.
        report([](Media_capabilities_t &c) {
            c.web_url = "http://127.0.0.2/";
            c.support_ptz = true;
            c.bitrate = 8000;
        });
        QCOMPARE(ntp.count(), 1);
        QCOMPARE(source.count(), 0);
        QList<QVariant> args = ntp.takeFirst();
        QCOMPARE(args.at(1).toString(), QString("cam"));
        QCOMPARE(args.at(2).toString(), QString("unsync"));
        QCOMPARE(args.at(3).toInt(), 8000);
        QCOMPARE(args.at(4).toString(), QString("Varimont"));
        QCOMPARE(manager.getWebUrl("cam"), QString("http://127.0.0.2/"));
        QVERIFY(manager.getSupportPTZ("cam"));

        // The same report again: silent.
        report([](Media_capabilities_t &c) {
            c.web_url = "http://127.0.0.2/";
            c.support_ptz = true;
            c.bitrate = 8000;
        });
        QVERIFY(source.isEmpty() && ntp.isEmpty());

        // Only the URL changes: sourceUpdated with the record.
        report([](Media_capabilities_t &c) {
            c.web_url = "http://127.0.0.2/setup";
            c.support_ptz = true;
            c.bitrate = 8000;
        });
        QCOMPARE(source.count(), 1);
        args = source.takeFirst();
        QCOMPARE(args.at(0).toString(), QString("general-ndi"));
        QCOMPARE(args.at(2).toString(), QString("127.0.0.2:5961"));
        QCOMPARE(args.at(3).toString(), QString("http://127.0.0.2/setup"));
        QCOMPARE(args.at(5).toBool(), true);
        QVERIFY(ntp.isEmpty());

        // Zero bitrate: kept until the tenth zero report in a row.
        auto zero = [](Media_capabilities_t &c) {
            c.web_url = "http://127.0.0.2/setup";
            c.support_ptz = true;
            c.bitrate = 0;
        };
        for (int i = 0; i < 9; ++i)
            report(zero);
        QVERIFY(ntp.isEmpty());
        report([](Media_capabilities_t &c) { // a positive report resets the count
            c.web_url = "http://127.0.0.2/setup";
            c.support_ptz = true;
            c.bitrate = 8000;
        });
        for (int i = 0; i < 9; ++i)
            report(zero);
        QVERIFY(ntp.isEmpty());
        report(zero);
        QCOMPARE(ntp.count(), 1);
        QCOMPARE(ntp.takeFirst().at(3).toInt(), 0);

        // Without a vendor the NTP part is never taken over.
        report([](Media_capabilities_t &c) {
            c.web_url = "http://127.0.0.2/setup";
            c.support_ptz = true;
            c.vendor = "";
            c.ntp_state = "sync";
            c.bitrate = 5;
        });
        QVERIFY(ntp.isEmpty() && source.isEmpty());
    }

    void stickingGoesThroughTheConnection()
    {
        SourceManager manager;
        manager.setConnectionFactory(
            [](const QString &, const QString &) { return std::make_shared<FakeConnection>(); });
        QVERIFY(!manager.stickSource("nobody", true));
        QVERIFY(!manager.isSourceSticked("nobody"));
        manager.updateSourceList({src("cam", "127.0.0.2:5961")}, 1000);
        QVERIFY(manager.stickSource("cam", true));
        QVERIFY(manager.isSourceSticked("cam"));
        QVERIFY(manager.getConnection("cam")->isStarted());
        QVERIFY(manager.getSourcesJson()
                    .value("data")
                    .toArray()
                    .at(0)
                    .toObject()
                    .value("switch")
                    .toBool());
        QVERIFY(!manager.stickSource("cam", false));
        QVERIFY(!manager.isSourceSticked("cam"));
    }

    void probeMarksDevicesOfTheMaker()
    {
        HttpResponder device;
        QVERIFY(device.listen(QHostAddress::LocalHost, 0));
        qputenv(SourceManager::kProbePortEnv, QByteArray::number(device.serverPort()));
        SourceManager manager;

        // Keys searched as bytes anywhere in the body, not parsed as JSON.
        device.body = R"({"data": {"ndiVersion": "5", "firmwareVersion": "1.0"}})";
        manager.updateSourceList({src("b-cam", "127.0.0.1:5961"), src("a-cam", "127.0.0.1:5962")},
                                 1000);
        QVERIFY(
            drtest::waitUntil([&] { return !manager.getDeviceVendor("a-cam").isEmpty(); }, 5000));
        QCOMPARE(manager.getDeviceVendor("a-cam"), QString("Varimont"));
        QCOMPARE(manager.getDeviceVendor("nobody"), QString());
        const QByteArray head = device.lastRequest.toLower();
        QVERIFY(head.startsWith("post /api/v1/firmware/get http/1.1"));
        QVERIFY(head.contains("\r\nplatform: " + QByteArray(SourceManager::kPlatformToken)));

        // Only the first record of a host in key order takes each answer.
        QVERIFY(drtest::waitUntil([&] { return device.requests >= 2; }, 5000));
        QTest::qWait(100);
        QCOMPARE(manager.getDeviceVendor("b-cam"), QString());
        QVERIFY(manager.getSourcesJson()
                    .value("data")
                    .toArray()
                    .at(0)
                    .toObject()
                    .value("official")
                    .toBool());

        device.body = R"({"firmwareVersion": "1.0", "ndi": "x"})";
        manager.setDeviceVendor("127.0.0.1", "");
        manager.productType("127.0.0.1");
        QVERIFY(
            drtest::waitUntil([&] { return !manager.getDeviceVendor("a-cam").isEmpty(); }, 5000));
        QCOMPARE(manager.getDeviceVendor("a-cam"), QString("Other"));

        // A device that does not answer at all: "Other".
        device.close();
        manager.setDeviceVendor("127.0.0.1", "");
        manager.productType("127.0.0.1");
        QVERIFY(
            drtest::waitUntil([&] { return !manager.getDeviceVendor("a-cam").isEmpty(); }, 5000));
        QCOMPARE(manager.getDeviceVendor("a-cam"), QString("Other"));

        // After stopDiscover there is no network object: a probe does nothing.
        manager.stopDiscover();
        manager.setDeviceVendor("127.0.0.1", "");
        manager.productType("127.0.0.1");
        QTest::qWait(100);
        QCOMPARE(manager.getDeviceVendor("a-cam"), QString());
    }

    void platformTokenShape()
    {
        const QByteArray token(SourceManager::kPlatformToken);
        QCOMPARE(token.size(), 43);
        QVERIFY(
            QRegularExpression("^[a-z]+(-[a-z]+)+$").match(QString::fromLatin1(token)).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestSourceManager)
#include "tst_sourcemanager.moc"
