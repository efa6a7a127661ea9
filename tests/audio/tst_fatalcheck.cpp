// The frame record's muted behaviour, the checked numeric conversions, and the report and
// process stop of a failed consistency check (run in forked children).
#include "ScriptedSource.h"
#include "audio/mixengine/AudioFrame.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"
#include "audio/mixengine/Checks.h"
#include "audio/mixengine/NumericRange.h"

#include <QTest>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <limits>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace dr::audiomix;

namespace {

struct ChildResult
{
    bool aborted = false;
    std::string output;
};

// Runs `work` in a forked child with standard output and standard error captured in one
// pipe; reports whether the child died of SIGABRT and what it wrote.
template <typename Work> ChildResult runInChild(Work work)
{
    ChildResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return result;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        std::signal(SIGABRT, SIG_DFL); // no test-framework crash handler in the child
        work();
        ::_exit(0); // the check did not fire
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.aborted = WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
    return result;
}

} // namespace

class TestFatalCheck : public QObject
{
    Q_OBJECT

private slots:
    void mutedFrameReadsAsZeros()
    {
        AudioFrame frame;
        QVERIFY(frame.muted());
        QCOMPARE(frame.elapsed_ms, int64_t(-1));
        QCOMPARE(frame.voice_activity, AudioFrame::VoiceActivity::Unknown);
        QCOMPARE(frame.speech_type, AudioFrame::SpeechType::Undefined);

        const std::vector<int16_t> samples(960, 1234);
        frame.Fill(5, samples.data(), 480, 48000, AudioFrame::SpeechType::Normal,
                   AudioFrame::VoiceActivity::Active, 2);
        QVERIFY(!frame.muted());
        QCOMPARE(frame.Data()[959], int16_t(1234));
        QCOMPARE(frame.timestamp, uint32_t(5));

        frame.Mute();
        QCOMPARE(frame.Data()[0], int16_t(0));
        QCOMPARE(frame.Data(), AudioFrame::ZeroData());
        // Write access to a muted frame clears the stale samples first.
        int16_t *data = frame.MutableData();
        QVERIFY(!frame.muted());
        QVERIFY(std::all_of(data, data + AudioFrame::kMaxDataSizeSamples,
                            [](int16_t s) { return s == 0; }));

        frame.Fill(0, nullptr, 1920, 96000, AudioFrame::SpeechType::Normal,
                   AudioFrame::VoiceActivity::Passive, 2); // exactly the capacity
        QVERIFY(frame.muted());
        frame.elapsed_ms = 3;
        frame.Reset();
        QCOMPARE(frame.samples_per_channel, size_t(0));
        QCOMPARE(frame.elapsed_ms, int64_t(-1));
        QCOMPARE(frame.voice_activity, AudioFrame::VoiceActivity::Unknown);
        QVERIFY(frame.muted());
    }

    void numericRangeEdges()
    {
        QVERIFY(IsValueInRangeFor<int16_t>(32767));
        QVERIFY(!IsValueInRangeFor<int16_t>(32768));
        QVERIFY(!IsValueInRangeFor<uint32_t>(-1));
        QVERIFY(IsValueInRangeFor<int>(uint32_t(INT32_MAX)));
        QVERIFY(!IsValueInRangeFor<int>(uint32_t(INT32_MAX) + 1u));
        QVERIFY(IsValueInRangeFor<int16_t>(32767.9)); // truncates to 32767
        QVERIFY(!IsValueInRangeFor<int16_t>(32768.0));
        QVERIFY(IsValueInRangeFor<int64_t>(-9223372036854775808.0));
        QVERIFY(!IsValueInRangeFor<int64_t>(9223372036854775808.0));
        QVERIFY(!IsValueInRangeFor<int>(std::nan("")));
        QVERIFY(!IsValueInRangeFor<float>(1e300));
        QVERIFY(IsValueInRangeFor<float>(std::numeric_limits<double>::infinity()));

        QCOMPARE(SaturatedCast<int16_t>(40000), int16_t(32767));
        QCOMPARE(SaturatedCast<int16_t>(-40000.5f), int16_t(-32768));
        QCOMPARE(SaturatedCast<uint8_t>(-3), uint8_t(0));
        QCOMPARE(SaturatedCast<uint32_t>(uint64_t(1) << 40), UINT32_MAX);
        QCOMPARE(CheckedCast<size_t>(480), size_t(480));
    }

    void reportLayout()
    {
        const CheckArg operands[2] = {CheckArg::From(size_t(3841)), CheckArg::From(-2)};
        QCOMPARE(FatalLog::Report("a.cpp", 12, 2, "x <= y", operands, "extra"),
                 std::string("\n\n#\n# Fatal error in: a.cpp, line 12\n# last system error: 2"
                             "\n# Check failed: x <= y (3841 vs. -2)\n# extra"));
        QCOMPARE(FatalLog::Report("b.cpp", 1, 0, "FATAL()", nullptr, ""),
                 std::string("\n\n#\n# Fatal error in: b.cpp, line 1\n# last system error: 0"
                             "\n# Check failed: FATAL()\n# "));

        std::string text;
        CheckArg odd;
        odd.type = static_cast<CheckArgType>('z');
        odd.AppendTo(text);
        QCOMPARE(text, std::string("[Invalid CheckArgType:z]"));
        text.clear();
        const std::string name = "gain";
        CheckArg::From(name).AppendTo(text);
        text += ' ';
        CheckArg::From(1.5).AppendTo(text);
        text += ' ';
        CheckArg::From("text").AppendTo(text);
        QCOMPARE(text, std::string("gain 1.5 text"));
    }

    void oversizedFrameStopsTheProcess()
    {
        const ChildResult child = runInChild([] {
            AudioFrame frame;
            std::printf("pending output"); // must come out before the report
            frame.Fill(0, nullptr, 1921, 96000, AudioFrame::SpeechType::Normal,
                       AudioFrame::VoiceActivity::Unknown, 2);
        });
        QVERIFY(child.aborted);
        const QString report = QString::fromStdString(child.output);
        QVERIFY2(report.startsWith("pending output\n\n#\n# Fatal error in: "), qPrintable(report));
        QVERIFY2(report.contains("AudioFrame.cpp, line "), qPrintable(report));
        QVERIFY2(report.contains("\n# last system error: "), qPrintable(report));
        QVERIFY2(report.endsWith("\n# Check failed: length <= kMaxDataSizeSamples (3842 vs. "
                                 "3840)\n# "),
                 qPrintable(report));
    }

    void nanConversionStopsTheProcess()
    {
        const ChildResult child = runInChild([] {
            volatile float value = std::nanf("");
            std::printf("%d", int(SaturatedCast<int>(value)));
        });
        QVERIFY(child.aborted);
        QVERIFY2(QString::fromStdString(child.output).contains("\n# Check failed: FATAL()\n# "),
                 child.output.c_str());

        const ChildResult outOfRange = runInChild([] {
            // A plain `1u < -1` would hold (the -1 turns unsigned); the check compares values.
            AUDIOMIX_CHECK_LT(uint32_t(1), -1, "unsigned against signed");
        });
        QVERIFY2(outOfRange.output.ends_with(
                     "Check failed: uint32_t(1) < -1 (1 vs. -1)\n# unsigned against signed"),
                 outOfRange.output.c_str());
    }

    void summingAbove48000HzStopsTheProcess()
    {
        // One source at 96000 Hz is copied and plays; two would overrun the summing buffer.
        auto engine = AudioMixerImpl::Create(std::make_unique<AudioOutput>(96000));
        ScriptedSource a(1), b(2);
        engine->AddSource(&a);
        AudioFrame out;
        QVERIFY(engine->Mix(2, &out));
        QCOMPARE(out.samples_per_channel, size_t(960));
        engine->AddSource(&b);
        const ChildResult child = runInChild([&] {
            AudioFrame frame;
            engine->Mix(2, &frame);
        });
        QVERIFY(child.aborted);
        QVERIFY2(QString::fromStdString(child.output)
                     .contains("Check failed: samplesPerChannel <= kMaxSummedSamplesPerChannel "
                               "(960 vs. 480)"),
                 child.output.c_str());
    }
};

QTEST_APPLESS_MAIN(TestFatalCheck)
#include "tst_fatalcheck.moc"
