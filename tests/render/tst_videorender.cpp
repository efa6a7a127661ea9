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

    FakeSourceTable *m_table = nullptr;

private slots:
    void init() { m_table = new FakeSourceTable; }
    void cleanup()
    {
        delete m_table;
        m_table = nullptr;
    }

    void fitKeepsAspect_data()
    {
        QTest::addColumn<double>("aspect");
        QTest::addColumn<QSizeF>("item");
        QTest::addColumn<QRectF>("expected");
        QTest::newRow("1080p in square: letterbox")
            << 1920.0 / 1080 << QSizeF(400, 400) << QRectF(0, 87.5, 400, 225);
        QTest::newRow("576 lines in 16:9: pillarbox")
            << 720.0 / 576 << QSizeF(1600, 900) << QRectF(237.5, 0, 1125, 900);
        QTest::newRow("exact fit") << 16.0 / 9 << QSizeF(1600, 900) << QRectF(0, 0, 1600, 900);
        QTest::newRow("no aspect fills") << 0.0 << QSizeF(300, 200) << QRectF(0, 0, 300, 200);
    }
    void fitKeepsAspect()
    {
        QFETCH(double, aspect);
        QFETCH(QSizeF, item);
        QFETCH(QRectF, expected);
        const QRectF r = OpenGLRenderNode::fit(aspect, item.width(), item.height());
        QCOMPARE(r, expected);
    }

    void bandwidthTexts()
    {
        QCOMPARE(VideoRender::parseBandwidth("", 1), 1);
        QCOMPARE(VideoRender::parseBandwidth("", 2), 2);
        for (const char *high : {"true", "TRUE", "high", "HIGH"})
            QCOMPARE(VideoRender::parseBandwidth(high, 2), 1);
        for (const char *low : {"yes", "High", "1", "low", " "})
            QCOMPARE(VideoRender::parseBandwidth(low, 1), 2);
    }

    void playReportsResolutionAndFollowsFrameRate()
    {
        FakeVideoConnection::Options o;
        o.fpsN = 25;
        o.fpsD = 1;
        auto a = m_table->add("A", o);
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        QSignalSpy resolution(&item, &VideoRender::resolutionChanged);
        QSignalSpy aspect(&item, &VideoRender::aspectChanged);
        QVERIFY(item.changeSource("A", ""));
        QVERIFY(waitForState(loading, "play"));
        QCOMPARE(states(loading).first(), QString("loading"));
        QCOMPARE(resolution.first(), (QList<QVariant>{640, 360}));
        QVERIFY(aspect.count() >= 1);
        QVERIFY(qAbs(item.aspect() - 16.f / 9.f) < 0.001f);
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QCOMPARE(a->videoUserCount(MediaConnection::High), 0);
        QVERIFY(a->isStarted());
        // The tick follows the source's 40 ms frame interval.
        QVERIFY(drtest::waitUntil([&] { return item.intervalMs() == 40; }, 3000));
        // "play" is reported once, not at every frame.
        QTest::qWait(200);
        QCOMPARE(states(loading).count("play"), 1);
    }

    void stalledSourceGoesBackToLoading()
    {
        auto a = m_table->add("A");
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        loading.clear();
        a->delivering = false;
        QVERIFY(waitForState(loading, "loading", 5000));
        a->delivering = true;
        QVERIFY(waitForState(loading, "play", 5000));
    }

    void unknownSourceFailsUntilItAppears()
    {
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        QVERIFY(item.changeSource("nobody", "high"));
        QCOMPARE(states(loading), QStringList{"failed"});
        // Reported again at every tick while the source is unknown.
        QVERIFY(drtest::waitUntil([&] { return states(loading).count("failed") >= 4; }, 3000));
        QVERIFY(!item.connection());
        loading.clear();
        m_table->add("nobody");
        QVERIFY(waitForState(loading, "play"));
        QCOMPARE(states(loading).first(), QString("loading"));
        QCOMPARE(item.xres(), 1280); // asked for high
    }

    void emptyAndOddInputIsHarmless()
    {
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        QVERIFY(item.changeSource("", "garbage"));
        QVERIFY(item.changeSource(QString(), QString()));
        item.changeBandWidth(QString(1000, QChar('x')));
        item.applyNtp("");
        item.setAudioEnable(true);
        item.destroyConnection();
        QTest::qWait(100);
        QVERIFY(!states(loading).contains("failed"));
        QVERIFY(!item.connection());
        QCOMPARE(item.getVolume(1000000), -200.0);
    }

    void bandwidthChangeMovesUserAtNextTick()
    {
        auto a = m_table->add("A");
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "low");
        QVERIFY(waitForState(loading, "play"));
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

    void switchKeepsOldSourceUntilNewDelivers()
    {
        auto a = m_table->add("A");
        FakeVideoConnection::Options quiet;
        quiet.lowSize = QSize(320, 240);
        auto b = m_table->add("B", quiet);
        b->delivering = false;
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        item.changeSource("B", "");
        QVERIFY(item.switching());
        QCOMPARE(b->videoUserCount(MediaConnection::Low), 1);
        QTest::qWait(400); // B delivers nothing: A stays
        QCOMPARE(item.connection(), MediaConnectionPtr(a));
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QCOMPARE(item.xres(), 640);
        b->delivering = true;
        QVERIFY(drtest::waitUntil([&] { return item.connection() == b; }, 2000));
        QVERIFY(!item.switching());
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        QVERIFY(drtest::waitUntil([&] { return item.xres() == 320; }, 2000));
        QVERIFY(!states(loading).contains("failed"));
    }

    void switchGivesUpWaitingAfterASecond()
    {
        auto a = m_table->add("A");
        auto c = m_table->add("C");
        c->delivering = false;
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        QElapsedTimer t;
        t.start();
        item.changeSource("C", "");
        QVERIFY(drtest::waitUntil([&] { return item.connection() == c; }, 3000));
        QVERIFY(t.elapsed() >= VideoRender::kSwitchTimeoutMs - 50);
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        QVERIFY(waitForState(loading, "loading", 3000)); // no frames from C
    }

    void switchBackBeforeNewDeliversKeepsOldRegistered()
    {
        auto a = m_table->add("A");
        auto b = m_table->add("B");
        b->delivering = false;
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        item.changeSource("B", "");
        item.changeSource("A", "");
        QTest::qWait(1300); // past the switch timeout
        QCOMPARE(item.connection(), MediaConnectionPtr(a));
        QCOMPARE(a->videoUserCount(MediaConnection::Low), 1);
        QCOMPARE(b->videoUserCount(MediaConnection::Both), 0);
        QVERIFY(!item.switching());
    }

    void connectionDroppedDuringSwitchStaysRegistered()
    {
        auto a = m_table->add("A");
        auto b = m_table->add("B");
        b->delivering = false;
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        item.changeSource("B", "");
        item.destroyConnection(); // the next tick connects to B from the table
        b->delivering = true;
        QVERIFY(
            drtest::waitUntil([&] { return item.connection() == b && !item.switching(); }, 3000));
        QTest::qWait(100);
        QCOMPARE(b->videoUserCount(MediaConnection::Low), 1);
    }

    void switchToUnknownDropsOldAndFails()
    {
        auto a = m_table->add("A");
        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        loading.clear();
        item.changeSource("ghost", "");
        QCOMPARE(states(loading).first(), QString("failed"));
        QVERIFY(!item.connection());
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
    }

    void levelsFollowTheSourceAndWrapChannels()
    {
        FakeVideoConnection::Options o;
        o.peak[0] = 0.5f; // -6.02 dBFS
        o.peak[1] = 0.1f; // -20 dBFS
        m_table->add("A", o);
        VideoRender item;
        item.changeSource("A", "");
        QVERIFY(drtest::waitUntil([&] { return item.getVolume(0) > -10; }, 3000));
        QVERIFY(qAbs(item.getVolume(0) - (-6.02)) < 0.1);
        QVERIFY(qAbs(item.getVolume(1) - (-20.0)) < 0.1);
        QCOMPARE(item.getVolume(17), item.getVolume(1));
        QCOMPARE(item.getVolume(-3), item.getVolume(0));
        QCOMPARE(item.getVolume(2), -200.0);
        item.stopLiving();
        QCOMPARE(item.getVolume(0), -200.0);
    }

    void stopLivingStopsOnlyWhenLastHolder()
    {
        auto a = m_table->add("A");
        {
            VideoRender item;
            QSignalSpy loading(&item, &VideoRender::notifyLoading);
            item.changeSource("A", "");
            QVERIFY(waitForState(loading, "play"));
            item.stopLiving();
            QCOMPARE(states(loading).last(), QString("idle"));
            QVERIFY(item.source().isEmpty());
            QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
            QCOMPARE(a->stopCalls->load(), 0); // the table still holds it
            // Living again resumes with the source set meanwhile.
            item.changeSource("A", "");
            item.startLiving();
            QVERIFY(waitForState(loading, "play"));
        }
        QCOMPARE(a->videoUserCount(MediaConnection::Both), 0);
        QCOMPARE(a->stopCalls->load(), 0);

        VideoRender item;
        QSignalSpy loading(&item, &VideoRender::notifyLoading);
        item.changeSource("A", "");
        QVERIFY(waitForState(loading, "play"));
        m_table->remove("A");
        a.reset();
        const std::shared_ptr<std::atomic<int>> stops =
            static_cast<FakeVideoConnection *>(item.connection().get())->stopCalls;
        item.stopLiving(); // the item is the last holder now
        QCOMPARE(stops->load(), 1);
    }
};

QTEST_MAIN(TstVideoRender)
#include "tst_videorender.moc"
