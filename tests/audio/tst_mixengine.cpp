// The mixing pass: selection of the loudest three, fade-in, summing with rounding and
// clipping, the bit-exact single source, channel conversion and reference counting.
#include "ScriptedSource.h"
#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"
#include "audio/mixengine/FrameOps.h"
#include "audio/mixengine/RefCountedObject.h"

#include <QTest>

#include <random>

using namespace dr::audiomix;

namespace {

RefPtr<AudioMixer> makeEngine(uint32_t rate = 48000)
{
    return AudioMixerImpl::Create(std::make_unique<AudioOutput>(rate));
}

// True when every one of the first `count` samples of `frame` equals `value`.
bool allEqual(const AudioFrame &frame, int16_t value, size_t count = 960)
{
    const int16_t *data = frame.Data();
    return std::all_of(data, data + count, [value](int16_t s) { return s == value; });
}

// Calculator that reports its own destruction (the engine owns it).
class TrackedOutput : public AudioOutput
{
public:
    TrackedOutput(bool *destroyed) : AudioOutput(48000), m_destroyed(destroyed) {}
    ~TrackedOutput() override { *m_destroyed = true; }

private:
    bool *m_destroyed;
};

} // namespace

class TestMixEngine : public QObject
{
    Q_OBJECT

private slots:
    void roundsHalfAwayFromZeroAndClips_data()
    {
        QTest::addColumn<float>("sum");
        QTest::addColumn<int>("expected");
        QTest::newRow("32766.5") << 32766.5f << 32767;
        QTest::newRow("32766.4") << 32766.4f << 32766;
        QTest::newRow("1.5") << 1.5f << 2;
        QTest::newRow("1.4") << 1.4f << 1;
        QTest::newRow("0.4") << 0.4f << 0;
        QTest::newRow("-0.4") << -0.4f << 0;
        QTest::newRow("-1.5") << -1.5f << -2;
        QTest::newRow("-32767.4") << -32767.4f << -32767;
        QTest::newRow("-32767.5") << -32767.5f << -32768;
        QTest::newRow("60000") << 60000.0f << 32767;
        QTest::newRow("-60000") << -60000.0f << -32768;
    }
    void roundsHalfAwayFromZeroAndClips()
    {
        QFETCH(float, sum);
        QFETCH(int, expected);
        QCOMPARE(int(RoundToS16(sum)), expected);
    }

    void noSourceGivesMutedFrameAndFalse()
    {
        auto engine = makeEngine();
        AudioFrame out;
        out.MutableData()[0] = 123; // stale content must not leak out
        out.elapsed_ms = 77;
        QVERIFY(!engine->Mix(2, &out));
        QVERIFY(out.muted());
        QCOMPARE(out.samples_per_channel, size_t(480));
        QCOMPARE(out.channels, size_t(2));
        QCOMPARE(out.sample_rate, 48000);
        QCOMPARE(out.elapsed_ms, int64_t(-1));
        QVERIFY(allEqual(out, 0));
    }

    void nothingAnsweredDependsOnStreamCount()
    {
        auto engine = makeEngine();
        ScriptedSource a, b;
        a.setAnswer(AudioMixer::Source::FrameInfo::Error);
        b.setAnswer(AudioMixer::Source::FrameInfo::Muted);
        engine->AddSource(&a);
        AudioFrame out;
        QVERIFY(!engine->Mix(2, &out));
        QVERIFY(out.muted()); // one registered source: left muted

        engine->AddSource(&b);
        out.MutableData()[5] = 99;
        QVERIFY(!engine->Mix(2, &out)); // a muted answer is never summed
        QVERIFY(!out.muted());          // two registered sources: an all-zero frame
        QVERIFY(allEqual(out, 0));
        QCOMPARE(a.calls(), 2);
        QCOMPARE(b.calls(), 1);
    }

    void singleSourceIsBitExactAfterFadeIn()
    {
        auto engine = makeEngine();
        ScriptedSource source;
        std::mt19937 random(7);
        std::uniform_int_distribution<int> sample(-32768, 32767);
        std::vector<int16_t> samples(960);
        for (auto &s : samples)
            s = int16_t(sample(random));
        samples[10] = -32768;
        samples[11] = 32767;
        source.setSamples(samples, 2);
        engine->AddSource(&source);

        AudioFrame out;
        QVERIFY(engine->Mix(2, &out));
        QCOMPARE(out.Data()[0], int16_t(0)); // first frame fades in
        for (int pass = 0; pass < 3; ++pass) {
            QVERIFY(engine->Mix(2, &out));
            QVERIFY(!out.muted());
            QVERIFY(std::equal(samples.begin(), samples.end(), out.Data()));
        }
    }

    void fadeInStartsAtZeroOnceForANewSource()
    {
        auto engine = makeEngine();
        ScriptedSource playing(1), joining(2);
        playing.setConstant(1000);
        joining.setConstant(10000);
        engine->AddSource(&playing);
        AudioFrame out;
        engine->Mix(2, &out);
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 1000));

        engine->AddSource(&joining);
        QVERIFY(engine->Mix(2, &out));
        const int16_t *data = out.Data();
        QCOMPARE(data[0], int16_t(1000)); // the newcomer's first sample is 0
        QCOMPARE(data[1], int16_t(1000));
        for (size_t i = 1; i < 480; ++i) {
            QCOMPARE(data[2 * i], data[2 * i + 1]);
            QVERIFY(data[2 * i] >= data[2 * i - 2]);
        }
        QVERIFY(data[2] > 1000);
        QVERIFY(data[958] < 11000 && data[958] > 10900);

        QVERIFY(engine->Mix(2, &out));
        QVERIFY(allEqual(out, 11000)); // full level from the second frame on
    }

    void returningSourceIsNotFadedAgain()
    {
        // Levels stay below 2115, where the energy of a full frame would wrap.
        auto engine = makeEngine();
        ScriptedSource a(1), b(2), c(3), d(4);
        a.setConstant(300);
        b.setConstant(200);
        c.setConstant(100);
        d.setConstant(0);
        for (auto *s : {&a, &b, &c, &d})
            engine->AddSource(s);
        AudioFrame out;
        engine->Mix(2, &out); // a, b, c fade in
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 600));

        d.setConstant(400); // d pushes c out
        engine->Mix(2, &out);
        QCOMPARE(out.Data()[0], int16_t(500)); // d fades in, c is gone
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 900));

        c.setConstant(500); // c comes back, b drops out
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 1200));
    }

    void twoSourcesClipAtTheSampleRange()
    {
        auto engine = makeEngine();
        ScriptedSource a, b;
        std::vector<int16_t> samples(960, 0);
        samples[100] = samples[101] = 30000;
        samples[200] = samples[201] = -30000;
        samples[300] = 16000;
        samples[301] = -16000;
        a.setSamples(samples, 2);
        b.setSamples(samples, 2);
        engine->AddSource(&a);
        engine->AddSource(&b);
        AudioFrame out;
        engine->Mix(2, &out);
        QVERIFY(engine->Mix(2, &out));
        QCOMPARE(out.Data()[100], int16_t(32767));
        QCOMPARE(out.Data()[101], int16_t(32767));
        QCOMPARE(out.Data()[200], int16_t(-32768));
        QCOMPARE(out.Data()[201], int16_t(-32768));
        QCOMPARE(out.Data()[300], int16_t(32000));
        QCOMPARE(out.Data()[301], int16_t(-32000));
    }

    void onlyTheLoudestThreeAreSummedButAllAreDrained()
    {
        auto engine = makeEngine();
        const int16_t levels[4] = {1000, 2000, 500, 1500};
        std::vector<std::unique_ptr<RRingBuffer>> buffers;
        std::vector<std::unique_ptr<AudioMixSource>> sources;
        for (uint32_t i = 0; i < 4; ++i) {
            buffers.push_back(std::make_unique<RRingBuffer>(30720));
            sources.push_back(
                std::make_unique<AudioMixSource>(i, 48000, 2, 1.0f, 10, buffers.back().get()));
            const std::vector<int16_t> block(960 * 8, levels[i]); // 80 ms
            QVERIFY(buffers.back()->Write(block.data(), block.size() * 2));
            engine->AddSource(sources.back().get());
        }
        AudioFrame out;
        QVERIFY(engine->Mix(2, &out)); // fade-in pass
        for (int pass = 0; pass < 3; ++pass) {
            QVERIFY(engine->Mix(2, &out));
            QVERIFY(allEqual(out, 4500));
        }
        // Every source, the quiet one included, gave up four 10 ms blocks.
        for (const auto &buffer : buffers)
            QCOMPARE(buffer->Readable(), uint32_t(4 * 1920));
    }

    void rankingUsesWrappingEnergyAndVoiceActivity()
    {
        auto engine = makeEngine();
        ScriptedSource quiet1(1), quiet2(2), quiet3(3), loud(4);
        quiet1.setConstant(100);
        quiet2.setConstant(200);
        quiet3.setConstant(300);
        // 960 samples of 8192 squared sum to 15 * 2^32: the energy wraps to 0, so this
        // frame ranks below the quiet ones.
        loud.setConstant(8192);
        for (auto *s : {&quiet1, &quiet2, &quiet3, &loud})
            engine->AddSource(s);
        AudioFrame out;
        engine->Mix(2, &out);
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 600));

        // Voice activity outranks energy.
        quiet1.setVoiceActivity(AudioFrame::VoiceActivity::Active);
        loud.setVoiceActivity(AudioFrame::VoiceActivity::Active);
        engine->Mix(2, &out);
        QCOMPARE(out.Data()[0], int16_t(100 + 300 + 0)); // loud fades in from 0
        engine->Mix(2, &out);
        QVERIFY(allEqual(out, 100 + 300 + 8192));
    }

    void mutedSourcesAreNeverSummed()
    {
        auto engine = makeEngine();
        ScriptedSource a(1), b(2), c(3), m(4);
        a.setConstant(10);
        b.setConstant(20);
        c.setConstant(30);
        m.setConstant(20000);
        m.setAnswer(AudioMixer::Source::FrameInfo::Muted);
        for (auto *s : {&m, &a, &b, &c})
            engine->AddSource(s);
        AudioFrame out;
        engine->Mix(2, &out);
        QVERIFY(engine->Mix(2, &out));
        QVERIFY(allEqual(out, 60));
    }

    void convertsChannelsOfSummedFrames()
    {
        auto engine = makeEngine();
        ScriptedSource mono(1), stereo(2);
        std::vector<int16_t> monoSamples(480);
        for (size_t i = 0; i < 480; ++i)
            monoSamples[i] = int16_t(i * 10);
        mono.setSamples(monoSamples, 1);
        std::vector<int16_t> stereoSamples(960);
        for (size_t i = 0; i < 480; ++i) {
            stereoSamples[2 * i] = -3;
            stereoSamples[2 * i + 1] = int16_t(i);
        }
        stereo.setSamples(stereoSamples, 2);
        engine->AddSource(&mono);
        engine->AddSource(&stereo);

        AudioFrame out;
        engine->Mix(2, &out);
        QVERIFY(engine->Mix(2, &out));
        for (size_t i = 0; i < 480; ++i) {
            QCOMPARE(out.Data()[2 * i], int16_t(int(i) * 10 - 3));
            QCOMPARE(out.Data()[2 * i + 1], int16_t(int(i) * 11));
        }

        QVERIFY(engine->Mix(1, &out));
        QCOMPARE(out.channels, size_t(1));
        for (size_t i = 0; i < 480; ++i) // (left + right) >> 1, rounding toward minus infinity
            QCOMPARE(out.Data()[i], int16_t(int(i) * 10 + ((int(i) - 3) >> 1)));
    }

    void singleMonoSourceIsDuplicatedExactly()
    {
        auto engine = makeEngine();
        ScriptedSource mono;
        std::vector<int16_t> samples(480);
        for (size_t i = 0; i < 480; ++i)
            samples[i] = int16_t(32767 - int(i) * 137);
        mono.setSamples(samples, 1);
        engine->AddSource(&mono);
        AudioFrame out;
        engine->Mix(2, &out);
        QVERIFY(engine->Mix(2, &out));
        for (size_t i = 0; i < 480; ++i) {
            QCOMPARE(out.Data()[2 * i], samples[i]);
            QCOMPARE(out.Data()[2 * i + 1], samples[i]);
        }
    }

    void removingSourcesKeepsTheOthers()
    {
        auto engine = makeEngine();
        ScriptedSource a(1), b(2), unknown(3);
        a.setConstant(100);
        b.setConstant(7);
        engine->AddSource(&a);
        engine->AddSource(&b);
        AudioFrame out;
        engine->Mix(2, &out);
        engine->RemoveSource(&unknown); // ignored
        engine->RemoveSource(&a);
        QVERIFY(engine->Mix(2, &out));
        QVERIFY(allEqual(out, 7));
        QCOMPARE(a.calls(), 1);
        engine->RemoveSource(&b);
        QVERIFY(!engine->Mix(2, &out));
        QCOMPARE(b.calls(), 2);
    }

    void referenceCountOwnsTheEngine()
    {
        bool destroyed = false;
        auto engine = AudioMixerImpl::Create(std::make_unique<TrackedOutput>(&destroyed));
        auto *counted = static_cast<RefCountedObject<AudioMixerImpl> *>(engine.get());
        QVERIFY(counted->HasOneRef());
        {
            RefPtr<AudioMixer> second = engine;
            QVERIFY(!counted->HasOneRef());
        }
        QVERIFY(counted->HasOneRef());
        engine.reset();
        QVERIFY(destroyed);
    }
};

QTEST_APPLESS_MAIN(TestMixEngine)
#include "tst_mixengine.moc"
