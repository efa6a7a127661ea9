// Connection lifecycle over a fake receiver: what the real-source tests cannot force —
// a receiver waiting for its address, the grace of a returning user, a slow high stream,
// rates without a denominator, channel levels and audio on the 20 ms grid into sinks, tally
// merging, frame ownership and where receivers die.
#include "FakeReceiverConnection.h"
#include "NdiSourceProcess.h"

#include "media/MediaAudioSink.h"

#include <QTest>

using mediatest::hasData;
using mediatest::windowA;
using mediatest::windowB;

namespace {

class CountingSink : public MediaAudioSink
{
public:
    std::atomic<int> writes{0};
    std::atomic<int> lastBytes{0};
    int Write(const int16_t *, int bytes) override
    {
        ++writes;
        return lastBytes = bytes;
    }
};

} // namespace

class TestMediaConnection : public QObject
{
    Q_OBJECT

    FakeCountersPtr counters;
    std::shared_ptr<FakeReceiverConnection> connection;

    double levels[MediaConnection::kMaxChannels];
    double leftLevel()
    {
        connection->getAudioLevels(levels);
        return levels[0];
    }

private slots:
    void init()
    {
        connection = std::make_shared<FakeReceiverConnection>();
        counters = connection->counters;
        QVERIFY(connection->setSource(0, "cam", "127.0.0.1:5961"));
        QVERIFY(connection->start());
    }
    void cleanup()
    {
        connection.reset();
        MediaReaper::drain();
        counters.reset();
    }

    // Sharing and the delayed close themselves are checked against real sources.
    void receiverWaitsForAnAddressAndOutlivesAReturningUser()
    {
        QVERIFY(!connection->setSource(7, "cam", "x"));
        connection->setSource(0, "cam", "");
        connection->addVideoUser(2, windowA);
        connection->addVideoUser(2, windowA); // a second add of the same user counts once
        QCOMPARE(connection->videoUserCount(2), 1);
        QTest::qWait(200);
        QVERIFY(connection->streamOpened(2));
        QVERIFY(!connection->streamHasReceiver(2) && !connection->isOpened());
        connection->setSource(2, "cam", "127.0.0.1:5961");
        QVERIFY(connection->streamHasReceiver(2));
        QVERIFY(mediatest::waitForFrame(*connection, 2, 3000));
        connection->removeVideoUser(2, windowA);
        connection->addVideoUser(2, windowA);
        QTest::qWait(1300);
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(counters->created[2].load(), 1);
        QCOMPARE(counters->created[1].load(), 0);
    }

    void rateWithoutDenominatorOrZeroKeepsTheTimer()
    {
        connection->addVideoUser(1, windowA);
        for (const auto &[n, d] : {std::pair{50, 0}, std::pair{0, 1}}) {
            connection->rateN = n;
            connection->rateD = d;
            QVERIFY(mediatest::waitForFrame(*connection, 1, 3000));
            QTest::qWait(150);
            QCOMPARE(connection->getInterval(1), 33);
            QCOMPARE(connection->getInterval(2), 33); // the low stream's own timer is untouched
        }
    }

    void slowHighKeepsTheLowPictureUntilItDelivers()
    {
        connection->addVideoUser(2, windowA);
        QVERIFY(mediatest::waitForFrame(*connection, 2, 3000));
        connection->delivers[1] = false;
        connection->addVideoUser(1, windowA);
        connection->removeVideoUser(2, windowA);
        for (int i = 0; i < 20; ++i) { // 1.2 s: longer than the low stream's grace
            const VideoFramePtr frame = connection->getVideoFrame(1);
            QVERIFY(hasData(frame));
            QCOMPARE(frame->frame.xres, 640); // still the low picture, never black
            QTest::qWait(60);
        }
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(connection->videoUserCount(2), 0);
        connection->delivers[1] = true;
        QVERIFY(drtest::waitUntil(
            [&] {
                const VideoFramePtr frame = connection->getVideoFrame(1);
                return hasData(frame) && frame->frame.xres == 1280 && !connection->streamOpened(2);
            },
            3000));
    }

    void audioLevelsAndSinks()
    {
        CountingSink sink;
        connection->AddAudioSink(3, &sink);
        connection->AddAudioSink(4, nullptr); // ignored
        connection->addVideoUser(1, windowA); // audio follows whichever stream is open
        QVERIFY(drtest::waitUntil([&] { return leftLevel() > -100; }, 3000));
        QCOMPARE(connection->getAudioLevels(levels), 2);
        QVERIFY2(qAbs(levels[1] + 20) < 0.1, qPrintable(QString::number(levels[1]))); // peak 0.1
        QCOMPARE(sink.writes.load(), 0); // levels without listeners: nothing written

        connection->setAudioUser(true, windowA);
        QVERIFY(drtest::waitUntil([&] { return sink.writes >= 5; }, 3000));
        QCOMPARE(sink.lastBytes.load(), 3840); // 20 ms of 48 kHz stereo 16-bit
        auto writesStopped = [&] {
            QTest::qWait(100);
            const int before = sink.writes;
            QTest::qWait(200);
            return sink.writes == before;
        };
        connection->setAudioUser(false, windowA);
        QVERIFY(writesStopped());
        const int resumed = sink.writes;
        connection->setAudioUser(true, windowA);
        QVERIFY(drtest::waitUntil([&] { return sink.writes > resumed; }, 3000));
        connection->RemoveAudioSink(3);
        QVERIFY(writesStopped());

        connection->peak[0] = 0;
        QVERIFY(drtest::waitUntil([&] { return leftLevel() == -200.0; }, 3000));
        connection->peak[0] = 0.5f;
        connection->removeVideoUser(1, windowA); // nothing open: silence
        QVERIFY(drtest::waitUntil([&] { return leftLevel() == -200.0; }, 3000));
    }

    void tallyMergesItsUsers()
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
        std::unique_lock lock(counters->lock);
        QVERIFY(counters->tally.contains(qMakePair(true, true)));
        QCOMPARE(counters->tally.last(), qMakePair(true, false));
    }

    void frameKeepsItsReceiverAlive()
    {
        connection->addVideoUser(2, windowA);
        VideoFramePtr frame = mediatest::waitForFrame(*connection, 2, 3000);
        QVERIFY(frame);
        const int freedBefore = counters->videoFreed;
        connection->stop();
        connection.reset();
        MediaReaper::drain();
        QCOMPARE(counters->destroyed[2].load(), 0); // the frame still holds its receiver
        frame.reset();
        QCOMPARE(counters->videoFreed.load(), freedBefore + 1); // data went back to it
        MediaReaper::drain();
        QCOMPARE(counters->destroyed[2].load(), 1);
        QVERIFY(counters->destroyThread.load() != QThread::currentThread()); // not the GUI's
    }

    // Wrappers alone: data goes back to its owner, never for an empty frame; buffers without
    // an owner are the program's and freed (ASan checks the frees; the fake's audio is too).
    void frameWrappersFreeThroughTheirOwner()
    {
        const auto c = std::make_shared<FakeCounters>();
        auto owner = std::make_shared<FakeInstance>(2, Picture(), QSize(), c);
        std::make_shared<MediaFrameWrapper<>>(owner).reset(); // no picture
        auto owned = std::make_shared<AudioFrameWrapper<>>(owner);
        owned->frame.p_data = reinterpret_cast<float *>(&owned); // the owner's, not freed here
        owned->frame.p_data_16s = static_cast<int16_t *>(std::malloc(64));
        owned.reset();
        QCOMPARE(c->videoFreed.load(), 0);
        QCOMPARE(c->audioFreed.load(), 1);
        owner.reset();
        QCOMPARE(c->destroyed[2].load(), 1);
        auto video = std::make_shared<MediaFrameWrapper<>>();
        video->frame.p_data = static_cast<uint8_t *>(std::malloc(32));
    }
};

QTEST_GUILESS_MAIN(TestMediaConnection)
#include "tst_mediaconnection.moc"
