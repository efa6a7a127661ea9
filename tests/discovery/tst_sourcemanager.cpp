// The source table: rounds, ageing, address changes, targets, capability rules, the JSON
// list, sticking and the device probe against a loopback HTTP responder.
#include "../media/FakeReceiverConnection.h"
#include "discovery/SourceManager.h"

#include "TestSupport.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

using Found = QList<SourceManager::FoundSource>;

QJsonObject entry(SourceManager &manager, int index)
{
    return manager.getSourcesJson().value("data").toArray().at(index).toObject();
}

// Connections without a receiver (no address given) whose capability record the test sets.
MediaConnectionPtr makeFake(const QString &, const QString &)
{
    return std::make_shared<FakeReceiverConnection>();
}

// Answers every HTTP request with a fixed body and remembers the last request's head.
class HttpResponder : public QTcpServer
{
public:
    QByteArray body, lastRequest;
    int requests = 0;

    HttpResponder()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = nextPendingConnection();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
                socket->setProperty("head", head);
                if (!head.contains("\r\n\r\n"))
                    return;
                lastRequest = head;
                ++requests;
                socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
    }
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

        manager.updateSourceList({{"", "10.0.0.9:5961"},
                                  {"b (one)", "127.0.0.2:5961"},
                                  {"a (two)", "127.0.0.3:5961"},
                                  {"a (two)", "127.0.0.4:5962"}},
                                 1000);
        QCOMPARE(manager.sourceCount(), 2); // empty name dropped, duplicate key shares a record
        QCOMPARE(manager.getAddress("a (two)"), QString("127.0.0.4:5962")); // later one wins
        QCOMPARE(manager.getAddress("nobody"), QString());
        QVERIFY(!manager.getConnection("a (two)")); // the factory made none
        QCOMPARE(changes.count(), 1);
        QCOMPARE(entry(manager, 0).value("name").toString(), QString("a (two)")); // key order
    }

    void addressChangesAndAgeing()
    {
        SourceManager manager;
        manager.setConnectionFactory(makeFake);
        QSignalSpy moved(&manager, &SourceManager::sourceAddressChanged);
        QSignalSpy updated(&manager, &SourceManager::sourceUpdated);
        manager.updateSourceList({{"cam", "127.0.0.2:5961"}}, 10000);
        std::weak_ptr<MediaConnection> held = manager.getConnection("cam");
        manager.updateSourceList({{"cam", "127.0.0.2:5961"}}, 10200);
        QCOMPARE(moved.count(), 0);
        manager.updateSourceList({{"cam", "127.0.0.5:5970"}}, 10400); // moved: same connection
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved.at(0), QVariantList({"cam", "127.0.0.5:5970"}));
        QCOMPARE(manager.getAddress("cam"), QString("127.0.0.5:5970"));
        QCOMPARE(manager.getConnection("cam"), held.lock());

        manager.updateSourceList({}, 15399); // gone for less than 5 s: kept
        QCOMPARE(manager.sourceCount(), 1);
        manager.updateSourceList({{"cam", "127.0.0.5:5970"}}, 15399); // back: clock restarts
        manager.updateSourceList({}, 20398);
        QCOMPARE(manager.sourceCount(), 1);
        manager.updateSourceList({}, 20399);
        manager.updateSourceList({}, 30000);
        QCOMPARE(manager.sourceCount(), 0);
        QCOMPARE(updated.count(), 1); // its end reported once
        QCOMPARE(updated.at(0).mid(0, 2), QVariantList({"none", "cam"}));
    }

    void targetsRecreateTheFinderOnlyWhenChanged()
    {
        SourceManager manager;
        std::mutex lock;
        QStringList created; // "groups|ips" of each (re)created finder, guarded by lock
        std::atomic<int> rounds{0};
        manager.setSourceLister(
            [&](const QString &groups, const QString &ips, bool recreate, Found *found) {
                QThread::msleep(10);
                std::unique_lock locker(lock);
                if (recreate)
                    created.append(groups + "|" + ips);
                found->append(SourceManager::FoundSource{"cam", "127.0.0.2:5961"});
                ++rounds;
                return true;
            });
        auto createdAfterRounds = [&] {
            const int mark = rounds;
            drtest::waitUntil([&] { return rounds > mark + 2; }, 5000);
            std::unique_lock locker(lock);
            return created;
        };
        QCOMPARE(manager.groups(), QString("public"));
        manager.startDiscover();
        QCOMPARE(createdAfterRounds(), QStringList({"public|"}));
        manager.setNDIManualTargets("public", ""); // same values: no new finder
        QCOMPARE(createdAfterRounds().size(), 1);
        manager.setNDIManualTargets("studio,public", "10.1.1.1,10.1.1.2");
        QCOMPARE(createdAfterRounds().value(1), QString("studio,public|10.1.1.1,10.1.1.2"));
        manager.forceRefresh();
        QCOMPARE(createdAfterRounds().size(), 3);
        for (int i = 0; i < 2; ++i) { // a new interface setting, then the same one again
            manager.setNDIInterfaces("nosuch0");
            QCOMPARE(createdAfterRounds().size(), 4);
        }
        manager.stopDiscover();
        QVERIFY(manager.isFinished());
        QCOMPARE(manager.sourceCount(), 1); // the table outlives the loop
    }

    void failingFinderLeavesTheTableAlone()
    {
        SourceManager manager;
        manager.updateSourceList({{"cam", "127.0.0.2:5961"}}, MediaConnection::nowMs());
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

    void stickingAndCapabilityUpdatesGoThroughTheConnection()
    {
        SourceManager manager;
        manager.setConnectionFactory(makeFake);
        manager.updateSourceList({{"cam", "127.0.0.2:5961"}, {"plain", "127.0.0.3:5961"}}, 1000);
        QSignalSpy source(&manager, &SourceManager::sourceUpdated);
        QSignalSpy ntp(&manager, &SourceManager::ntpUpdated);
        auto fake = std::static_pointer_cast<FakeReceiverConnection>(manager.getConnection("cam"));
        auto report = [&](const QByteArray &url, int bitrate,
                          const QByteArray &vendor = "Varimont") {
            auto caps = std::make_shared<Media_capabilities_t>();
            caps->ntp_state = "unsync";
            caps->vendor = vendor;
            caps->web_url = url;
            caps->support_ptz = true;
            caps->bitrate = bitrate;
            fake->caps = caps;
            manager.updateCapabilities("cam", 2);
        };

        // No record from the connection: nothing changes.
        QTest::ignoreMessage(QtWarningMsg, "getCapabilities failed : \"cam\" \"127.0.0.2:5961\"");
        manager.updateCapabilities("cam", 2);
        manager.updateCapabilities("unknown", 2);
        QVERIFY(source.isEmpty() && ntp.isEmpty());

        // URL and PTZ change with the NTP part: only the NTP signal.
        report("http://127.0.0.2/", 8000);
        QCOMPARE(source.count(), 0);
        QCOMPARE(ntp.count(), 1);
        QCOMPARE(ntp.takeFirst().mid(1, 4), QVariantList({"cam", "unsync", 8000, "Varimont"}));
        QCOMPARE(manager.getWebUrl("cam"), QString("http://127.0.0.2/"));
        QVERIFY(manager.getSupportPTZ("cam"));
        report("http://127.0.0.2/", 8000); // the same report again: silent
        QVERIFY(source.isEmpty() && ntp.isEmpty());

        // Only the URL changes: sourceUpdated with the record.
        report("http://127.0.0.2/setup", 8000);
        QCOMPARE(source.count(), 1);
        const QList<QVariant> args = source.takeFirst();
        QCOMPARE(args.at(0).toString(), QString("general-ndi"));
        QCOMPARE(args.mid(2, 2), QVariantList({"127.0.0.2:5961", "http://127.0.0.2/setup"}));
        QCOMPARE(args.at(5).toBool(), true);
        QVERIFY(ntp.isEmpty());

        // Zero bitrate: kept until the tenth zero report in a row; a positive one resets.
        for (int i = 0; i < 9; ++i)
            report("http://127.0.0.2/setup", 0);
        report("http://127.0.0.2/setup", 8000);
        for (int i = 0; i < 9; ++i)
            report("http://127.0.0.2/setup", 0);
        QVERIFY(ntp.isEmpty());
        report("http://127.0.0.2/setup", 0);
        QCOMPARE(ntp.count(), 1);
        QCOMPARE(ntp.takeFirst().at(3).toInt(), 0);

        // Without a vendor the NTP part is never taken over.
        report("http://127.0.0.2/setup", 5, "");
        QVERIFY(ntp.isEmpty() && source.isEmpty());

        // Sticking starts the connection (last: its timers would report capabilities).
        QVERIFY(!manager.stickSource("nobody", true));
        QVERIFY(!manager.isSourceSticked("nobody"));
        QVERIFY(manager.stickSource("cam", true));
        QVERIFY(manager.isSourceSticked("cam"));
        QVERIFY(manager.getConnection("cam")->isStarted());
        QVERIFY(entry(manager, 0).value("switch").toBool());
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
        manager.updateSourceList({{"b-cam", "127.0.0.1:5961"}, {"a-cam", "127.0.0.1:5962"}}, 1000);
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
        QVERIFY(entry(manager, 0).value("official").toBool());

        auto probeAgain = [&] {
            manager.setDeviceVendor("127.0.0.1", "");
            manager.productType("127.0.0.1");
            return drtest::waitUntil([&] { return !manager.getDeviceVendor("a-cam").isEmpty(); },
                                     5000);
        };
        device.body = R"({"firmwareVersion": "1.0", "ndi": "x"})";
        QVERIFY(probeAgain());
        QCOMPARE(manager.getDeviceVendor("a-cam"), QString("Other"));

        // After stopDiscover there is no network object: a probe does nothing.
        manager.stopDiscover();
        QVERIFY(!probeAgain());
    }
};

QTEST_GUILESS_MAIN(TestSourceManager)
#include "tst_sourcemanager.moc"
