// The render item against the real source table and connection logic, with in-memory
// receivers: loading states, resolution and interval, bandwidth moves, source switches,
// levels, and release of connections. No window: the item ticks without drawing.
#include "FakeSourceTable.h"
#include "TestSupport.h"
#include "render/OpenGLRenderNode.h"
#include "render/VideoRender.h"

#include <QSignalSpy>
#include <QtTest>

class TstVideoRender : public QObject
{
    Q_OBJECT

private:
    static QStringList states(const QSignalSpy &spy)
    {
        QStringList out;
        for (const QList<QVariant> &args : spy)
            out.append(args.at(0).toString());
        return out;
    }
    static bool waitForState(QSignalSpy &spy, const QString &state, int timeoutMs = 3000)
    {
        return drtest::waitUntil([&] { return states(spy).contains(state); }, timeoutMs);
    }

    std::unique_ptr<FakeSourceTable> m_table;

private slots:
    void init() { m_table = std::make_unique<FakeSourceTable>(); }
    void cleanup() { m_table.reset(); }

    void fitKeepsAspect()
    {
        // The letterbox is checked on screen by the scene test; here the other branches.
        QCOMPARE(OpenGLRenderNode::fit(720.0 / 576, 1600, 900), QRectF(237.5, 0, 1125, 900));
        QCOMPARE(OpenGLRenderNode::fit(0, 300, 200), QRectF(0, 0, 300, 200)); // no aspect: fill
    }

    void playReportsResolutionRateStallsAndBandwidthMoves()
    {
        auto a = m_table->add("A");
        a->rateN = 25;
        a->rateD = 1;
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        QSignalSpy resolution(&item, &VideoRender::resolutionChanged);
        QVERIFY(item.changeSource("A", "low"));
        QVERIFY(waitForState(loading, "play"));
        QCOMPARE(states(loading).first(), QString("loading"));
        QCOMPARE(resolution.first(), (QList<QVariant>{640, 360}));
        QVERIFY(qAbs(item.aspect() - 16.f / 9.f) < 0.001f);
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QVERIFY(a->isStarted());
        // The tick follows the source's 40 ms frame interval.
        QVERIFY(drtest::waitUntil([&] { return item.intervalMs() == 40; }, 3000));
        // "play" is reported once, not at every frame; a stalled source goes back to loading.
        QTest::qWait(200);
        QCOMPARE(states(loading).count("play"), 1);
        loading.clear();
        a->setDelivering(false);
        QVERIFY(waitForState(loading, "loading", 5000));
        a->setDelivering(true);
        QVERIFY(waitForState(loading, "play", 5000));

        // A bandwidth change moves the user at the next tick.
        item.stopPlay(); // hold the tick so the move can be seen pending
        item.changeSource("A", "HIGH");
        QCOMPARE(item.bandwidth(), 1);
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QCOMPARE(a->videoUserCount(MediaConnection::High), 0);
        item.startPlay();
        QVERIFY(
            drtest::waitUntil([&] { return a->videoUserCount(MediaConnection::High) == 1; }, 2000));
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 0);
        // Low frames keep coming until the high stream delivers, then its size shows.
        QVERIFY(drtest::waitUntil([&] { return item.xres() == 1280; }, 3000));

        item.changeBandWidth("");
        QCOMPARE(item.bandwidth(), 1);
        item.changeBandWidth("yes");
        QCOMPARE(item.bandwidth(), 2);
        QVERIFY(drtest::waitUntil([&] { return item.xres() == 640; }, 3000));
        QCOMPARE(a->videoUserCount(MediaConnection::High), 0);
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
    }

    void oddInputIsHarmlessUnknownSourceFailsUntilItAppears()
    {
        auto a = m_table->add("A");
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        QVERIFY(item.changeSource("", "garbage"));
        QVERIFY(item.changeSource(QString(), QString()));
        item.changeBandWidth(QString(1000, QChar('x')));
        item.applyNtp("");
        item.setAudioEnable(true);
        item.destroyConnection();
        QTest::qWait(100);
        QVERIFY(!states(loading).contains("failed")); // no source is not a failure
        QVERIFY(!item.connection());
        QCOMPARE(item.getVolume(1000000), -200.0);

        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        loading.clear();
        QVERIFY(item.changeSource("nobody", "high")); // the old source is dropped at once
        QCOMPARE(states(loading), QStringList{"failed"});
        QVERIFY(!item.connection());
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        // Reported again at every tick while the source is unknown.
        QVERIFY(drtest::waitUntil([&] { return states(loading).count("failed") >= 4; }, 3000));
        loading.clear();
        m_table->add("nobody");
        QVERIFY(waitForState(loading, "play"));
        QCOMPARE(states(loading).first(), QString("loading"));
        QCOMPARE(item.xres(), 1280); // asked for high
    }

    // The picture of the old source staying during a switch is checked on screen by the scene
    // test; here who holds which connection.
    void switchesKeepOneRegistration()
    {
        auto a = m_table->add("A");
        auto b = m_table->add("B");
        b->setDelivering(false);
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        // Back to the old source before the new one delivered.
        item.changeSource("B", "");
        item.changeSource("A", "");
        QTest::qWait(1300); // past the switch timeout
        QCOMPARE(item.connection(), MediaConnectionPtr(a));
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QCOMPARE(b->videoUserCount(MediaConnection::Both), 0);
        QVERIFY(!item.switching());

        // A silent new source is taken after a second of waiting, and the old one let go.
        loading.clear();
        QElapsedTimer t;
        t.start();
        item.changeSource("B", "");
        QVERIFY(item.switching());
        QVERIFY(drtest::waitUntil([&] { return item.connection() == b; }, 3000));
        QVERIFY(t.elapsed() >= VideoRender::kSwitchTimeoutMs - 50);
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        QVERIFY(waitForState(loading, "loading", 3000)); // no frames from B

        // The connection dropped during a switch: the next tick connects to A from the table.
        item.changeSource("A", "");
        item.destroyConnection();
        QVERIFY(
            drtest::waitUntil([&] { return item.connection() == a && !item.switching(); }, 3000));
        QTest::qWait(100);
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
    }

    void levelsWrapAndStopLivingStopsOnlyWhenLastHolder()
    {
        auto a = m_table->add("A"); // tone peaks 0.5 and 0.1: -6.02 and -20 dBFS
        {
            VideoRender item;
            QSignalSpy loading(&item, &VideoRender::notifyLoading);
            item.changeSource("A", "");
            QVERIFY(waitForState(loading, "play"));
            QVERIFY(drtest::waitUntil([&] { return item.getVolume(0) > -10; }, 3000));
            QVERIFY(qAbs(item.getVolume(0) - (-6.02)) < 0.1);
            QVERIFY(qAbs(item.getVolume(1) - (-20.0)) < 0.1);
            QCOMPARE(item.getVolume(17), item.getVolume(1));
            QCOMPARE(item.getVolume(-3), item.getVolume(0));
            QCOMPARE(item.getVolume(2), -200.0);
            item.stopLiving();
            QCOMPARE(item.getVolume(0), -200.0);
            QCOMPARE(states(loading).last(), QString("idle"));
            QVERIFY(item.source().isEmpty());
            QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
            QCOMPARE(a->counters->stops.load(), 0); // the table still holds it
            // Living again resumes with the source set meanwhile.
            item.changeSource("A", "");
            item.startLiving();
            QVERIFY(waitForState(loading, "play"));
        }
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        QCOMPARE(a->counters->stops.load(), 0);

        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        m_table->remove("A");
        a.reset();
        const FakeCountersPtr counters =
            static_cast<FakeReceiverConnection *>(item.connection().get())->counters;
        item.stopLiving(); // the item is the last holder now
        QCOMPARE(counters->stops.load(), 1);
    }
};

QTEST_MAIN(TstVideoRender)
#include "tst_videorender.moc"
