// The output mixer over fake media connections and without a sound device: sinks are
// attached to and detached from their connections in the right order, audio flows from a
// connection's audio thread through the engine on the mixing thread, and the mixer can go
// while connections still push (the race detector runs this test too).
#include "../media/FakeReceiverConnection.h"

#include "TestSupport.h"
#include "audio/AudioMixSink.h"
#include "audio/AudioOutputMixer.h"

#include <QTest>
#include <set>

namespace {

// Counts the sinks its table holds.
class SinkCountingConnection : public FakeReceiverConnection
{
public:
    ~SinkCountingConnection() override { shutdown(); } // no thread sees this class go
    std::mutex lock;
    std::set<int> sinkIds; // guarded by lock
    void AddAudioSink(int id, MediaAudioSink *sink) override
    {
        FakeReceiverConnection::AddAudioSink(id, sink);
        std::lock_guard<std::mutex> guard(lock);
        sinkIds.insert(id);
    }
    void RemoveAudioSink(int id) override
    {
        FakeReceiverConnection::RemoveAudioSink(id);
        std::lock_guard<std::mutex> guard(lock);
        sinkIds.erase(id);
    }
    size_t sinks()
    {
        std::lock_guard<std::mutex> guard(lock);
        return sinkIds.size();
    }
};

} // namespace

class TestAudioOutputMixer : public QObject
{
    Q_OBJECT

    std::map<QString, std::shared_ptr<SinkCountingConnection>> table;
    std::unique_ptr<AudioOutputMixer> makeMixer()
    {
        auto mixer = std::make_unique<AudioOutputMixer>(
            "test", 48000, 2, 16, 10, [this](const QString &name) -> MediaConnectionPtr {
                const auto it = table.find(name);
                return it == table.end() ? nullptr : it->second;
            });
        mixer->setHoldsStreams(true);
        mixer->StartMixing();
        return mixer;
    }

private slots:
    void init()
    {
        for (const char *name : {"cam a", "cam b"}) {
            auto connection = std::make_shared<SinkCountingConnection>();
            QVERIFY(connection->setSource(0, name, "127.0.0.1:5961"));
            table[name] = connection;
        }
    }
    void cleanup()
    {
        table.clear();
        MediaReaper::drain();
    }

    void sinkBuffersOnlyOnceStartedAndUnblocked()
    {
        AudioMixSink sink(7);
        QCOMPARE(sink.Init(48000, 2, 16, 10), 0);
        QCOMPARE(sink.ringBufferBytes(), 30720u);
        const int16_t block[1920] = {};
        QCOMPARE(sink.Write(block, 3840), -1);
        sink.start();
        QCOMPARE(sink.Write(block, 3840), 3840); // blocked: dropped
        dr::audiomix::AudioFrame frame;
        QCOMPARE(sink.source()->GetAudioFrame(48000, &frame),
                 dr::audiomix::AudioMixer::Source::FrameInfo::Error);
        sink.unblock();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(sink.Write(block, 3840), 3840);
        QCOMPARE(sink.source()->GetAudioFrame(48000, &frame),
                 dr::audiomix::AudioMixer::Source::FrameInfo::Normal);
    }

    void sinksFollowPositionsAndSources()
    {
        auto mixer = makeMixer();
        auto &a = *table["cam a"];
        auto &b = *table["cam b"];
        QCOMPARE(mixer->AddInputSource(1, 1, "nobody"), -1);
        QCOMPARE(mixer->AddInputSource(2, 1, "cam a"), 0);
        QCOMPARE(mixer->AddInputSource(3, 1, "cam a"), -1); // already heard there
        QCOMPARE(a.sinks(), 1u);
        QCOMPARE(a.videoUserCount(MediaConnection::Low), 1);
        // Audio flows from the connection's audio thread through the engine; without a
        // device the mixed frames are counted as dropped.
        QVERIFY(drtest::waitUntil([&] { return mixer->framesDropped() > 5; }, 3000));
        QCOMPARE(mixer->framesWritten(), 0u);

        QCOMPARE(mixer->AddInputSource(4, 1, "cam b"), 0); // replaces cam a at window 1
        QCOMPARE(a.sinks(), 0u);
        QCOMPARE(a.videoUserCount(MediaConnection::Low), 0);
        QCOMPARE(b.sinks(), 1u);
        QCOMPARE(mixer->AddInputSource(5, 2, "cam a"), 0);
        QCOMPARE(mixer->AddInputSource(6, 2, "gone"), -1); // window 2 loses its audio
        QCOMPARE(a.sinks(), 0u);
        QCOMPARE(mixer->RemoveInputSource(2), -1);
        QCOMPARE(mixer->AddInputSource(7, 3, "cam b"), 0); // one source, two windows
        QCOMPARE(b.sinks(), 2u);
        QCOMPARE(mixer->inputCount(), 2);
        QCOMPARE(mixer->RemoveInputSource(1), 0);
        QCOMPARE(b.sinks(), 1u);

        // Stopping while the connections push: every sink leaves its connection first.
        QTest::qWait(100);
        mixer->stop();
        QCOMPARE(b.sinks(), 0u);
        QCOMPARE(b.videoUserCount(MediaConnection::Low), 0);
        QCOMPARE(mixer->AddInputSource(8, 1, "cam a"), -1);
        mixer.reset();    // a second stop through the destructor
        QTest::qWait(60); // the connections keep running without sinks
    }
};

QTEST_GUILESS_MAIN(TestAudioOutputMixer)
#include "tst_audio_outputmixer.moc"
