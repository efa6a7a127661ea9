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

// Engine input that hands over `samples` (`channels` interleaved; by default 10 ms of
// stereo at 48000 Hz, all at `level`) with the answer the test set last.
class ScriptedSource : public AudioMixer::Source
{
public:
    explicit ScriptedSource(int n = 0, int16_t level = 0) : id(n), samples(960, level) {}

    int id;
    std::vector<int16_t> samples;
    size_t channels = 2;
    FrameInfo answer = FrameInfo::Normal;
    int calls = 0;

    FrameInfo GetAudioFrame(int, AudioFrame *frame) override
    {
        ++calls;
        if (answer == FrameInfo::Error)
            return answer;
        frame->Fill(0, samples.data(), samples.size() / channels, 48000,
                    AudioFrame::SpeechType::Normal, AudioFrame::VoiceActivity::Unknown, channels);
        if (answer == FrameInfo::Muted)
            frame->Mute();
        return answer;
    }
    int SourceId() const override { return id; }
    int PreferredSampleRate() const override { return 48000; }
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
    std::fflush(nullptr);
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
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT ? QString::fromStdString(output)
                                                              : QString();
}

} // namespace

class TestMixEngine : public QObject
{
    Q_OBJECT

private slots:
    // Half away from zero, and two sources summed beyond the 16-bit range clip.
    void roundsHalfAwayFromZeroAndClips()
    {
        const std::pair<float, int> sums[] = {
            {32766.5f, 32767}, {32766.4f, 32766}, {-1.5f, -2}, {-0.4f, 0}};
        for (const auto &[sum, expected] : sums)
            QCOMPARE(int(RoundToS16(sum)), expected);

        Mixer m;
        ScriptedSource a, b;
        const int16_t peaks[4] = {30000, -30000, 16000, -16000};
        std::copy(peaks, peaks + 4, a.samples.begin() + 100);
        b.samples = a.samples;
        m.start({&a, &b});
        QVERIFY(m.mix());
        const int16_t expected[4] = {32767, -32768, 32000, -32000};
        QVERIFY(std::equal(expected, expected + 4, m.out.Data() + 100));
    }

    // No source, an erroring one, a muted one: false, and never stale or summed samples.
    void nothingToMix()
    {
        Mixer m;
        m.out.MutableData()[0] = 123;
        QVERIFY(!m.mix());
        QVERIFY(m.out.muted() && allEqual(m.out.Data(), 0));
        QCOMPARE(m.out.samples_per_channel, size_t(480));

        ScriptedSource failing, muted(0, 20000);
        failing.answer = Info::Error;
        muted.answer = Info::Muted;
        m.engine->AddSource(&failing);
        QVERIFY(!m.mix() && m.out.muted());
        m.engine->AddSource(&muted);
        m.out.MutableData()[5] = 99;
        QVERIFY(!m.mix() && allEqual(m.out.Data(), 0));
        QCOMPARE(failing.calls, 2);
        QCOMPARE(muted.calls, 1);
    }

    void singleSourceIsBitExact()
    {
        Mixer m;
        ScriptedSource stereo, mono;
        std::generate(stereo.samples.begin(), stereo.samples.end(), std::mt19937(7));
        stereo.samples[10] = -32768;
        stereo.samples[11] = 32767;
        m.start({&stereo});
        for (int pass = 0; pass < 3; ++pass)
            QVERIFY(m.mix() &&
                    std::equal(stereo.samples.begin(), stereo.samples.end(), m.out.Data()));

        // A lone mono source is duplicated exactly into both channels.
        mono.samples.assign(stereo.samples.begin(), stereo.samples.begin() + 480);
        mono.channels = 1;
        m.engine->RemoveSource(&stereo);
        m.start({&mono});
        QVERIFY(m.mix());
        for (size_t i = 0; i < 960; ++i)
            QCOMPARE(m.out.Data()[i], mono.samples[i / 2]);
    }

    // The loudest three are summed and every source is asked for its frame (a buffered one
    // is drained even when left out). Levels stay below 2115, where the energy of a full
    // frame would wrap.
    void newSourceFadesInReturningOneDoesNot()
    {
        Mixer m;
        ScriptedSource a(1, 300), b(2, 200), c(3, 100), d(4);
        m.start({&a, &b, &c, &d});
        QVERIFY(m.mix() && frameIs(m.out, 600));

        d.samples.assign(960, 400); // d pushes c out and fades in from 0, alike in both channels
        QVERIFY(m.mix());
        const int16_t *data = m.out.Data();
        QCOMPARE(data[0], int16_t(500));
        for (size_t i = 1; i < 480; ++i)
            QVERIFY(data[2 * i] == data[2 * i + 1] && data[2 * i] >= data[2 * i - 2]);
        QVERIFY(data[958] > 890);
        QVERIFY(m.mix() && frameIs(m.out, 900));
        QCOMPARE(c.calls, a.calls);

        c.samples.assign(960, 500); // c comes back at full level, b drops out
        QVERIFY(m.mix() && frameIs(m.out, 1200));
    }

    void convertsChannelsAndRemovesSources()
    {
        Mixer m;
        ScriptedSource mono(1), stereo(2, -3);
        mono.samples.resize(480);
        mono.channels = 1;
        for (size_t i = 0; i < 480; ++i) {
            mono.samples[i] = int16_t(i * 10);
            stereo.samples[2 * i + 1] = int16_t(i);
        }
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

    // Bytes come out in order, a read takes all it asks for or nothing, and a write that
    // does not fit empties the buffer, which is usable again afterwards.
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
        QVERIFY(buffer.Write(in.data(), 1000 - buffer.Readable())); // exactly full fits
        QVERIFY(!buffer.Write(in.data(), 1));
        QCOMPARE(buffer.Readable(), uint32_t(0));
        QVERIFY(buffer.Write(in.data(), 100));
        QCOMPARE(buffer.Readable(), uint32_t(100));
    }

    // A source plays once 60 ms are held, at its own rate (here 16000 Hz mono) whatever is
    // requested; starved, it repeats its last block once, then waits for 60 ms again.
    void sourcePrimesAndRepeatsOnceWhenStarved()
    {
        const size_t msBytes = 32;
        const std::vector<uint8_t> bytes(60 * msBytes, 5);
        RRingBuffer buffer(30720), stereoBuffer(30720);
        AudioMixSource source(7, 16000, 1, 1.0f, 10, &buffer);
        AudioFrame frame;
        QVERIFY(buffer.Write(bytes.data(), 59 * msBytes));
        QCOMPARE(source.GetAudioFrame(32000, &frame), Info::Error);
        QVERIFY(frame.muted());
        QCOMPARE(buffer.Readable(), uint32_t(59 * msBytes)); // nothing taken

        QVERIFY(buffer.Write(bytes.data(), msBytes));
        QCOMPARE(source.GetAudioFrame(32000, &frame), Info::Normal);
        QCOMPARE(buffer.Readable(), uint32_t(50 * msBytes));
        QVERIFY(frame.samples_per_channel == 160 && frame.sample_rate == 16000 &&
                frame.channels == 1);
        QVERIFY(allEqual(frame.Data(), 0x0505, 160));

        source.ResetPriming(); // 50 ms held: waits again
        QCOMPARE(source.GetAudioFrame(48000, &frame), Info::Error);
        AudioMixSource unbuffered(1, 48000, 2, 1.0f, 10, nullptr);
        QCOMPARE(unbuffered.GetAudioFrame(48000, &frame), Info::Error);

        AudioMixSource stereo(1, 48000, 2, 1.0f, 10, &stereoBuffer);
        for (int16_t block = 1; block <= 6; ++block)
            QVERIFY(writeMs(stereoBuffer, 10, block));
        QVERIFY(writeMs(stereoBuffer, 5, 99));         // half a block never gets read alone
        for (int16_t block = 1; block <= 7; ++block) { // the last block once more
            QCOMPARE(stereo.GetAudioFrame(48000, &frame), Info::Normal);
            QVERIFY(frameIs(frame, qMin(block, int16_t(6))));
        }
        QCOMPARE(stereo.GetAudioFrame(48000, &frame), Info::Error);
        QVERIFY(writeMs(stereoBuffer, 50, 42)); // 55 ms held
        QCOMPARE(stereo.GetAudioFrame(48000, &frame), Info::Error);
        QVERIFY(writeMs(stereoBuffer, 5, 42));
        QCOMPARE(stereo.GetAudioFrame(48000, &frame), Info::Normal);
        QVERIFY(allEqual(frame.Data(), 99, 480) && allEqual(frame.Data() + 480, 42, 480));
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
