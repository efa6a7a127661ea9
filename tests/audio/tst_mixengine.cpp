// The mixing pass (selection of the loudest three, fade-in, rounding and clipping, the
// bit-exact single source, channel conversion), the byte ring buffer and the engine source
// that reads 10 ms blocks from it (priming, starvation, overflow), the frame record, and
// the report and process stop of a failed consistency check (in forked children).
#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/AudioMixer.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"
#include "audio/mixengine/Checks.h"
#include "audio/mixengine/FrameOps.h"
#include "audio/mixengine/NumericRange.h"
#include "audio/mixengine/RRingBuffer.h"

#include <QTest>

#include <cmath>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace dr::audiomix;
using Info = AudioMixer::Source::FrameInfo;

namespace {

// Engine input that hands over the samples and answer the test set last.
class ScriptedSource : public AudioMixer::Source
{
public:
    explicit ScriptedSource(int id = 0) : m_id(id) {}

    // `channels` interleaved; a single value fills 10 ms of stereo at 48000 Hz.
    void setSamples(std::vector<int16_t> samples, size_t channels = 2)
    {
        m_samples = std::move(samples);
        m_channels = channels;
    }
    void setConstant(int16_t value) { setSamples(std::vector<int16_t>(960, value)); }

    FrameInfo answer = FrameInfo::Normal;
    int calls = 0;

    FrameInfo GetAudioFrame(int, AudioFrame *frame) override
    {
        ++calls;
        if (answer == FrameInfo::Error)
            return answer;
        frame->Fill(0, m_samples.data(), m_samples.size() / m_channels, 48000,
                    AudioFrame::SpeechType::Normal, AudioFrame::VoiceActivity::Unknown, m_channels);
        if (answer == FrameInfo::Muted)
            frame->Mute();
        return answer;
    }
    int SourceId() const override { return m_id; }
    int PreferredSampleRate() const override { return 48000; }

private:
    int m_id;
    std::vector<int16_t> m_samples = std::vector<int16_t>(960, 0);
    size_t m_channels = 2;
};

// An engine at 48000 Hz and its output frame.
struct Mixer
{
    RefPtr<AudioMixer> engine = AudioMixerImpl::Create(std::make_unique<AudioOutput>(48000));
    AudioFrame out;

    bool mix(size_t channels = 2) { return engine->Mix(channels, &out); }
    // Registers the sources and runs the fade-in pass.
    void start(std::initializer_list<AudioMixer::Source *> sources)
    {
        for (auto *s : sources)
            engine->AddSource(s);
        mix();
    }
};

bool allEqual(const int16_t *data, int16_t value, size_t count = 960)
{
    return std::all_of(data, data + count, [value](int16_t s) { return s == value; });
}

bool frameIs(const AudioFrame &frame, int16_t value)
{
    return !frame.muted() && allEqual(frame.Data(), value);
}

// `ms` milliseconds of 48000 Hz stereo, all at `value`.
bool writeMs(RRingBuffer &buffer, size_t ms, int16_t value)
{
    const std::vector<int16_t> samples(ms * 96, value);
    return buffer.Write(samples.data(), samples.size() * 2);
}

// Runs `work` in a forked child with standard output and error captured in one pipe;
// returns what it wrote, empty unless the child died of SIGABRT.
template <typename Work> QString abortReport(Work work)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        std::signal(SIGABRT, SIG_DFL); // no test-framework crash handler in the child
        work();
        ::_exit(0); // the check did not fire
    }
    ::close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const bool aborted = WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
    return aborted ? QString::fromStdString(output) : QString();
}

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
        QTest::newRow("-1.5") << -1.5f << -2;
        QTest::newRow("-0.4") << -0.4f << 0;
        QTest::newRow("-60000") << -60000.0f << -32768;
    }
    void roundsHalfAwayFromZeroAndClips()
    {
        QFETCH(float, sum);
        QFETCH(int, expected);
        QCOMPARE(int(RoundToS16(sum)), expected);
    }

    // No source, an erroring one, a muted one: false, and never stale or summed samples.
    void nothingToMix()
    {
        Mixer m;
        m.out.MutableData()[0] = 123;
        QVERIFY(!m.mix());
        QVERIFY(m.out.muted() && allEqual(m.out.Data(), 0));
        QCOMPARE(m.out.samples_per_channel, size_t(480));

        ScriptedSource failing, muted;
        failing.answer = Info::Error;
        muted.answer = Info::Muted;
        muted.setConstant(20000);
        m.engine->AddSource(&failing);
        QVERIFY(!m.mix());
        QVERIFY(m.out.muted());
        m.engine->AddSource(&muted);
        m.out.MutableData()[5] = 99;
        QVERIFY(!m.mix());
        QVERIFY(allEqual(m.out.Data(), 0));
        QCOMPARE(failing.calls, 2);
        QCOMPARE(muted.calls, 1);
    }

    void singleSourceIsBitExact()
    {
        Mixer m;
        ScriptedSource stereo;
        std::mt19937 random(7);
        std::vector<int16_t> samples(960);
        for (auto &s : samples)
            s = int16_t(random());
        samples[10] = -32768;
        samples[11] = 32767;
        stereo.setSamples(samples);
        m.start({&stereo});
        for (int pass = 0; pass < 3; ++pass) {
            QVERIFY(m.mix());
            QVERIFY(std::equal(samples.begin(), samples.end(), m.out.Data()));
        }

        // A lone mono source is duplicated exactly into both channels.
        ScriptedSource mono;
        mono.setSamples(std::vector<int16_t>(samples.begin(), samples.begin() + 480), 1);
        m.engine->RemoveSource(&stereo);
        m.start({&mono});
        QVERIFY(m.mix());
        for (size_t i = 0; i < 480; ++i) {
            QCOMPARE(m.out.Data()[2 * i], samples[i]);
            QCOMPARE(m.out.Data()[2 * i + 1], samples[i]);
        }
    }

    // Levels stay below 2115, where the energy of a full frame would wrap.
    void newSourceFadesInReturningOneDoesNot()
    {
        Mixer m;
        ScriptedSource a(1), b(2), c(3), d(4);
        a.setConstant(300);
        b.setConstant(200);
        c.setConstant(100);
        m.start({&a, &b, &c, &d});
        QVERIFY(m.mix() && frameIs(m.out, 600));

        d.setConstant(400); // d pushes c out and fades in from 0, the same in both channels
        QVERIFY(m.mix());
        const int16_t *data = m.out.Data();
        QCOMPARE(data[0], int16_t(500));
        for (size_t i = 1; i < 480; ++i)
            QVERIFY(data[2 * i] == data[2 * i + 1] && data[2 * i] >= data[2 * i - 2]);
        QVERIFY(data[958] > 890);
        QVERIFY(m.mix() && frameIs(m.out, 900));

        c.setConstant(500); // c comes back at full level, b drops out
        QVERIFY(m.mix() && frameIs(m.out, 1200));
    }

    void twoSourcesClipAtTheSampleRange()
    {
        Mixer m;
        ScriptedSource a, b;
        std::vector<int16_t> samples(960, 0);
        samples[100] = 30000;
        samples[101] = -30000;
        samples[102] = 16000;
        samples[103] = -16000;
        a.setSamples(samples);
        b.setSamples(samples);
        m.start({&a, &b});
        QVERIFY(m.mix());
        const int16_t expected[4] = {32767, -32768, 32000, -32000};
        QVERIFY(std::equal(expected, expected + 4, m.out.Data() + 100));
    }

    // Four buffered sources: the quietest is drained with the others but not summed.
    void loudestThreeSummedAllDrained()
    {
        Mixer m;
        const int16_t levels[4] = {1000, 2000, 500, 1500};
        std::vector<std::unique_ptr<RRingBuffer>> buffers;
        std::vector<std::unique_ptr<AudioMixSource>> sources;
        for (uint32_t i = 0; i < 4; ++i) {
            buffers.push_back(std::make_unique<RRingBuffer>(30720));
            sources.push_back(
                std::make_unique<AudioMixSource>(i, 48000, 2, 1.0f, 10, buffers.back().get()));
            QVERIFY(writeMs(*buffers.back(), 80, levels[i]));
            m.engine->AddSource(sources.back().get());
        }
        m.mix();
        for (int pass = 0; pass < 3; ++pass)
            QVERIFY(m.mix() && frameIs(m.out, 4500));
        for (const auto &buffer : buffers)
            QCOMPARE(buffer->Readable(), uint32_t(4 * 1920));
    }

    void convertsChannelsAndRemovesSources()
    {
        Mixer m;
        ScriptedSource mono(1), stereo(2);
        std::vector<int16_t> monoSamples(480), stereoSamples(960, -3);
        for (size_t i = 0; i < 480; ++i) {
            monoSamples[i] = int16_t(i * 10);
            stereoSamples[2 * i + 1] = int16_t(i);
        }
        mono.setSamples(monoSamples, 1);
        stereo.setSamples(stereoSamples);
        m.start({&mono, &stereo});
        QVERIFY(m.mix());
        for (size_t i = 0; i < 480; ++i) {
            QCOMPARE(m.out.Data()[2 * i], int16_t(int(i) * 10 - 3));
            QCOMPARE(m.out.Data()[2 * i + 1], int16_t(int(i) * 11));
        }
        QVERIFY(m.mix(1));
        QCOMPARE(m.out.channels, size_t(1));
        for (size_t i = 0; i < 480; ++i) // (left + right) >> 1, rounding toward minus infinity
            QCOMPARE(m.out.Data()[i], int16_t(int(i) * 10 + ((int(i) - 3) >> 1)));

        m.engine->RemoveSource(&mono);
        QVERIFY(m.mix() && allEqual(m.out.Data(), -3, 1));
        QCOMPARE(mono.calls, 3);
    }

    void ringKeepsBytesInOrderAllOrNothing()
    {
        RRingBuffer buffer(1000);
        uint8_t next = 0, expected = 0;
        std::vector<uint8_t> in(1000), out(1000, 0xee);
        QVERIFY(!buffer.Read(out.data(), out.size(), 1));
        // Chunk sizes prime to the storage size hit every split position; at most 500
        // bytes stay held so that the next write always fits.
        for (size_t round = 0; round < 400; ++round) {
            const size_t writeLength = 1 + (round * 37) % 499;
            for (size_t i = 0; i < writeLength; ++i)
                in[i] = next++;
            QVERIFY(buffer.Write(in.data(), writeLength));
            const size_t held = buffer.Readable();
            const size_t readLength = held > 500 ? held - round % 100 : 1 + (round * 53) % 331;
            if (readLength > held) {
                QVERIFY(!buffer.Read(out.data(), out.size(), readLength)); // more than held
                continue;
            }
            QVERIFY(!buffer.Read(out.data(), readLength - 1, readLength)); // too small
            QVERIFY(buffer.Read(out.data(), out.size(), readLength));
            for (size_t i = 0; i < readLength; ++i)
                QCOMPARE(out[i], expected++);
        }
        QVERIFY(buffer.Read(out.data(), out.size(), buffer.Readable()));
        QCOMPARE(buffer.Readable(), uint32_t(0));
    }

    // A write that does not fit empties the buffer; it is usable again afterwards.
    void overflowEmptiesTheBuffer()
    {
        RRingBuffer buffer(30720);
        const std::vector<uint8_t> bytes(30720, 1);
        QVERIFY(buffer.Write(bytes.data(), bytes.size())); // exactly the capacity fits
        QVERIFY(!buffer.Write(bytes.data(), 1));
        QCOMPARE(buffer.Readable(), uint32_t(0));
        QVERIFY(buffer.Write(bytes.data(), 1920));
        QCOMPARE(buffer.Readable(), uint32_t(1920));
    }

    // A source plays once 60 ms are held, at its own rate (here 16000 Hz mono) whatever
    // is requested.
    void sourcePrimesAt60Milliseconds()
    {
        const size_t msBytes = 32;
        const std::vector<uint8_t> bytes(60 * msBytes, 5);
        RRingBuffer buffer(30720);
        AudioMixSource source(7, 16000, 1, 1.0f, 10, &buffer);
        AudioFrame frame;
        QVERIFY(buffer.Write(bytes.data(), 59 * msBytes));
        QCOMPARE(source.GetAudioFrame(32000, &frame), Info::Error);
        QVERIFY(frame.muted());
        QCOMPARE(buffer.Readable(), uint32_t(59 * msBytes)); // nothing taken

        QVERIFY(buffer.Write(bytes.data(), msBytes));
        QCOMPARE(source.GetAudioFrame(32000, &frame), Info::Normal);
        QCOMPARE(buffer.Readable(), uint32_t(50 * msBytes));
        QCOMPARE(frame.samples_per_channel, size_t(160));
        QCOMPARE(frame.sample_rate, 16000);
        QCOMPARE(frame.channels, size_t(1));
        QVERIFY(allEqual(frame.Data(), 0x0505, 160));

        source.ResetPriming(); // 50 ms held: waits again
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Error);
        AudioMixSource unbuffered(1, 48000, 2, 1.0f, 10, nullptr);
        QCOMPARE(unbuffered.GetAudioFrame(48000, &frame), Info::Error);
    }

    void starvedSourceRepeatsOnceThenWaits()
    {
        RRingBuffer buffer(30720);
        AudioMixSource source(1, 48000, 2, 1.0f, 10, &buffer);
        AudioFrame frame;
        for (int16_t block = 1; block <= 6; ++block)
            QVERIFY(writeMs(buffer, 10, block));
        QVERIFY(writeMs(buffer, 5, 99)); // half a block never gets read alone
        for (int16_t block = 1; block <= 6; ++block) {
            QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Normal);
            QVERIFY(frameIs(frame, block));
        }
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Normal);
        QVERIFY(frameIs(frame, 6)); // the last block once more
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Error);

        QVERIFY(writeMs(buffer, 50, 42)); // 55 ms held
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Error);
        QVERIFY(writeMs(buffer, 5, 42));
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Normal);
        QVERIFY(allEqual(frame.Data(), 99, 480));
        QVERIFY(allEqual(frame.Data() + 480, 42, 480));
    }

    void failedChecksReportAndStop()
    {
        QString report = abortReport([] {
            AudioFrame frame;
            std::printf("pending output"); // must come out before the report
            frame.Fill(0, nullptr, 1921, 96000, AudioFrame::SpeechType::Normal,
                       AudioFrame::VoiceActivity::Unknown, 2);
        });
        QVERIFY2(report.startsWith("pending output\n\n#\n# Fatal error in: ") &&
                     report.contains("AudioFrame.cpp, line ") &&
                     report.endsWith("# Check failed: length <= kMaxDataSizeSamples (3842 vs. "
                                     "3840)\n# "),
                 qPrintable(report));
        report = abortReport([] { std::printf("%d", SaturatedCast<int>(std::nanf(""))); });
        QVERIFY2(report.contains("\n# Check failed: FATAL()\n# "), qPrintable(report));
        // A plain `1u < -1` would hold (the -1 turns unsigned); the check compares values.
        report = abortReport([] { AUDIOMIX_CHECK_LT(uint32_t(1), -1, "unsigned"); });
        QVERIFY2(report.endsWith("Check failed: uint32_t(1) < -1 (1 vs. -1)\n# unsigned"),
                 qPrintable(report));

        // One source at 96000 Hz is copied and plays; two would overrun the summing buffer.
        auto engine = AudioMixerImpl::Create(std::make_unique<AudioOutput>(96000));
        ScriptedSource a(1), b(2);
        engine->AddSource(&a);
        AudioFrame out;
        QVERIFY(engine->Mix(2, &out));
        QCOMPARE(out.samples_per_channel, size_t(960));
        engine->AddSource(&b);
        report = abortReport([&] { engine->Mix(2, &out); });
        QVERIFY2(report.contains("Check failed: samplesPerChannel <= "
                                 "kMaxSummedSamplesPerChannel (960 vs. 480)"),
                 qPrintable(report));
    }
};

QTEST_APPLESS_MAIN(TestMixEngine)
#include "tst_mixengine.moc"
