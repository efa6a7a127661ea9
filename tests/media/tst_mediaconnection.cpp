// Connection lifecycle over a fake receiver: shared receivers, delayed close, bandwidth
// switch and fallback, frame-rate timers, audio levels and sinks, tally, sticking, frame
// ownership and where receivers are destroyed.
#include "FakeReceiverConnection.h"

#include "media/MediaAudioSink.h"

#include "TestSupport.h"

#include <QTest>

namespace {

class CountingSink : public MediaAudioSink
{
public:
    std::atomic<int> writes{0};
    std::atomic<int> lastBytes{0};
    int Write(const int16_t *, int lengthBytes) override
    {
        ++writes;
        lastBytes = lengthBytes;
        return lengthBytes;
    }
};

const void *const windowA = reinterpret_cast<const void *>(0x1000);
const void *const windowB = reinterpret_cast<const void *>(0x2000);

bool hasData(const VideoFramePtr &frame)
{
    return frame && frame->frame.p_data;
}

} // namespace

class TestMediaConnection : public QObject
{
    Q_OBJECT

    FakeCounters *counters = nullptr;
    std::shared_ptr<FakeReceiverConnection> connection;

    void makeConnection()
    {
        connection = std::make_shared<FakeReceiverConnection>(counters);
        QVERIFY(connection->setSource(0, "cam", "127.0.0.1:5961"));
        QVERIFY(connection->start());
    }

private slots:
    void init()
    {
        counters = new FakeCounters;
        makeConnection();
    }
    void cleanup()
    {
        connection.reset();
        MediaReaper::drain();
        delete counters;
    }

    void lowUsersShareOneReceiverAndCloseAfterTheLastLeaves()
    {
        QVERIFY(!connection->setSource(7, "cam", "x"));
        connection->addVideoUser(2, windowA);
        connection->addVideoUser(2, windowB);
        connection->addVideoUser(2, windowB); // a second add of the same user counts once
        QCOMPARE(connection->videoUserCount(2), 2);
        QVERIFY(drtest::waitUntil([&] { return hasData(connection->getVideoFrame(2)); }, 3000));
        QCOMPARE(counters->created[2].load(), 1);
        QCOMPARE(counters->created[1].load(), 0);
        QVERIFY(connection->isOpened());

        connection->removeVideoUser(2, windowA);
        QTest::qWait(1300);
        QVERIFY(connection->streamOpened(2)); // one user left: stays open

        connection->removeVideoUser(2, windowB);
        QTest::qWait(300); // well inside the one-second grace
        QVERIFY(connection->streamOpened(2));
        QVERIFY(drtest::waitUntil([&] { return !connection->streamOpened(2); }, 3000));
        QVERIFY(drtest::waitUntil([&] { return counters->destroyed[2] == 1; }, 3000));
        QVERIFY(!connection->isOpened());

        // A user coming back inside the grace keeps the receiver.
        connection->addVideoUser(2, windowA);
        connection->removeVideoUser(2, windowA);
        connection->addVideoUser(2, windowA);
        QTest::qWait(1300);
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(counters->created[2].load(), 2);
    }

    void frameRateSetsTheTimer()
    {
        QCOMPARE(connection->getInterval(1), 33);
        connection->rateN = 60000;
        connection->addVideoUser(1, windowA);
        QVERIFY(drtest::waitUntil([&] { return connection->getInterval(1) == 16; }, 3000));
        QCOMPARE(connection->getInterval(2), 33); // the low stream's own timer is untouched
        int xres = 0, yres = 0;
        float fps = 0;
        QVERIFY(connection->getVideoInfo(1, &xres, &yres, &fps));
        QCOMPARE(xres, 1920);
        QCOMPARE(yres, 1080);
        QVERIFY(qAbs(fps - 59.94f) < 0.01f);

        connection->rateN = 25;
        connection->rateD = 1;
        QVERIFY(drtest::waitUntil([&] { return connection->getInterval(1) == 40; }, 3000));
        connection->rateN = 50;
        connection->rateD = 0; // no frame rate: interval stays
        QTest::qWait(200);
        QCOMPARE(connection->getInterval(1), 40);
    }

    void switchingBandwidthKeepsFrames()
    {
        connection->addVideoUser(2, windowA);
        QVERIFY(drtest::waitUntil([&] { return hasData(connection->getVideoFrame(2)); }, 3000));
        connection->delivers[1] = false; // the high stream is slow to deliver
        connection->addVideoUser(1, windowA);
        connection->removeVideoUser(2, windowA);
        for (int i = 0; i < 20; ++i) { // 1.2 s: longer than the low stream's grace
            const VideoFramePtr frame = connection->getVideoFrame(1);
            QVERIFY(hasData(frame));
            QCOMPARE(frame->frame.xres, 640); // still the low picture, never black
            QTest::qWait(60);
        }
        QVERIFY(connection->streamOpened(2));
        connection->delivers[1] = true;
        QVERIFY(drtest::waitUntil(
            [&] {
                const VideoFramePtr frame = connection->getVideoFrame(1);
                return hasData(frame) && frame->frame.xres == 1920;
            },
            3000));
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getVideoFrame(1);
                return !connection->streamOpened(2);
            },
            3000));
    }

    void silentHighBringsUpLow()
    {
        connection->delivers[1] = false;
        connection->addVideoUser(1, windowA);
        QTest::qWait(200);
        QVERIFY(!hasData(connection->getVideoFrame(1)));
        QVERIFY(!connection->streamOpened(2));
        QVERIFY(drtest::waitUntil(
            [&] {
                const VideoFramePtr frame = connection->getVideoFrame(1);
                return hasData(frame) && frame->frame.xres == 640;
            },
            4000));
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(connection->videoUserCount(2), 0); // opened as a fallback, not as a user
        QTest::qWait(1500); // no users, no deadline: the fallback stays while it is needed
        QVERIFY(connection->streamOpened(2));
    }

    void audioLevelsAndSinks()
    {
        CountingSink sink;
        connection->AddAudioSink(3, &sink);
        connection->AddAudioSink(4, nullptr); // ignored
        connection->addVideoUser(2, windowA);
        double levels[MediaConnection::kMaxChannels];
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getAudioLevels(levels);
                return levels[0] > -100;
            },
            3000));
        QCOMPARE(connection->getAudioLevels(levels), 2);
        QVERIFY2(qAbs(levels[0] - (-6.02)) < 0.1, qPrintable(QString::number(levels[0])));
        QVERIFY2(qAbs(levels[1] - (-12.04)) < 0.1, qPrintable(QString::number(levels[1])));
        for (int c = 2; c < MediaConnection::kMaxChannels; ++c)
            QCOMPARE(levels[c], -200.0);
        QCOMPARE(sink.writes.load(), 0); // levels without listeners: nothing written

        connection->setAudioUser(true, windowA);
        QVERIFY(drtest::waitUntil([&] { return sink.writes >= 5; }, 3000));
        QCOMPARE(sink.lastBytes.load(), 3840);
        connection->setAudioUser(false, windowA);
        QTest::qWait(100);
        int before = sink.writes;
        QTest::qWait(200);
        QCOMPARE(sink.writes.load(), before);

        connection->setAudioUser(true, windowA);
        QVERIFY(drtest::waitUntil([&] { return sink.writes > before; }, 3000));
        connection->RemoveAudioSink(3);
        before = sink.writes;
        QTest::qWait(200);
        QCOMPARE(sink.writes.load(), before);

        connection->amplitude = 0.0;
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getAudioLevels(levels);
                return levels[0] == -200.0;
            },
            3000));
    }

    void audioFollowsTheOpenStream()
    {
        // Only the high stream open: audio comes from it.
        connection->addVideoUser(1, windowA);
        double levels[MediaConnection::kMaxChannels];
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getAudioLevels(levels);
                return levels[0] > -100;
            },
            3000));
        // Nothing open: silence.
        connection->removeVideoUser(1, windowA);
        QVERIFY(drtest::waitUntil([&] { return !connection->streamOpened(1); }, 3000));
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getAudioLevels(levels);
                return levels[0] == -200.0;
            },
            3000));
    }

    void tallyReachesTheReceivers()
    {
        connection->addVideoUser(0, windowA);
        QVERIFY(drtest::waitUntil([&] { return connection->isOpened(); }, 3000));
        QCOMPARE(connection->getTallyState(), 0);
        connection->setTallyUser(true, false, windowA);
        QCOMPARE(connection->getTallyState(), 1);
        connection->setTallyUser(true, true, windowB);
        QCOMPARE(connection->getTallyState(), 2);
        connection->setTallyUser(false, false, windowB);
        QCOMPARE(connection->getTallyState(), 1);
        {
            std::unique_lock lock(counters->lock);
            QVERIFY(counters->tally.contains(qMakePair(true, true)));
            QCOMPARE(counters->tally.last(), qMakePair(true, false));
        }
        connection->applyNtp("pool.example");
        std::unique_lock lock(counters->lock);
        QCOMPARE(counters->ntp, QStringList({"pool.example", "pool.example"}));
    }

    void stickHolderOnlyPolls()
    {
        QVERIFY(!connection->isSticked());
        QVERIFY(connection->setSticked(true));
        QVERIFY(connection->isSticked());
        QVERIFY(connection->streamOpened(1) && connection->streamOpened(2));
        QVERIFY(drtest::waitUntil([&] { return counters->stickyCaptures > 4; }, 3000));
        QVERIFY(!hasData(connection->getVideoFrame(2))); // connected, but no picture taken
        QVERIFY(!connection->setSticked(false));
        QVERIFY(!connection->isSticked());
        QVERIFY(drtest::waitUntil(
            [&] { return !connection->streamOpened(1) && !connection->streamOpened(2); }, 3000));
    }

    void frameKeepsItsReceiverAlive()
    {
        connection->addVideoUser(2, windowA);
        VideoFramePtr frame;
        QVERIFY(drtest::waitUntil(
            [&] {
                frame = connection->getVideoFrame(2);
                return hasData(frame);
            },
            3000));
        const int freedBefore = counters->videoFreed;
        connection->stop();
        connection.reset(); // connection and both streams gone
        MediaReaper::drain();
        QCOMPARE(counters->destroyed[2].load(), 0); // the frame still holds its receiver
        frame.reset();
        QCOMPARE(counters->videoFreed.load(), freedBefore + 1); // data went back to it
        MediaReaper::drain();
        QCOMPARE(counters->destroyed[2].load(), 1);
    }

    void receiversAreNotDestroyedOnTheGuiThread()
    {
        connection.reset();
        auto made = MediaReaper::makeShared<MediaConnection>(new FakeReceiverConnection(counters));
        made->setSource(0, "cam", "127.0.0.1:5961");
        made->start();
        made->addVideoUser(2, windowA);
        QVERIFY(drtest::waitUntil([&] { return made->isOpened(); }, 3000));
        made.reset(); // last reference dropped here, on the GUI thread
        MediaReaper::drain();
        QCOMPARE(counters->destroyed[2].load(), 1);
        QVERIFY(counters->destroyThread.load() != QThread::currentThread());
    }

    void emptyAddressGivesNoReceiver()
    {
        connection->setSource(0, "cam", "");
        connection->addVideoUser(2, windowA);
        QTest::qWait(200);
        QVERIFY(connection->streamOpened(2));
        QVERIFY(!connection->streamHasReceiver(2));
        QVERIFY(!connection->isOpened());
        connection->setSource(2, "cam",
                              "127.0.0.1:5961"); // address known: the open stream gets one
        QVERIFY(connection->streamHasReceiver(2));
        QCOMPARE(counters->created[2].load(), 1);
    }
};

QTEST_GUILESS_MAIN(TestMediaConnection)
#include "tst_mediaconnection.moc"
