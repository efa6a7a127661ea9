// The byte ring buffer (all-or-nothing transfers, wrap-around, overflow) and the engine
// source that reads 10 ms blocks from it (priming, starvation).
#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/RRingBuffer.h"

#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>
#include <vector>

using namespace dr::audiomix;

namespace {

constexpr size_t kBlockBytes = 1920; // 10 ms, 48000 Hz, stereo, 16 bit
constexpr size_t kMsBytes = 192;

// Runs `work` with standard output going to a file and returns what it printed.
template <typename Work> QByteArray captureStdout(Work work)
{
    QTemporaryFile file;
    if (!file.open())
        return "cannot open capture file";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(file.handle(), STDOUT_FILENO);
    work();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    file.seek(0);
    return file.readAll();
}

// `ms` milliseconds of stereo samples, all at `value`.
std::vector<int16_t> audio(size_t ms, int16_t value)
{
    return std::vector<int16_t>(ms * 96, value);
}

bool write(RRingBuffer &buffer, const std::vector<int16_t> &samples)
{
    return buffer.Write(samples.data(), samples.size() * sizeof(int16_t));
}

bool frameIs(const AudioFrame &frame, int16_t value)
{
    const int16_t *data = frame.Data();
    return !frame.muted() &&
           std::all_of(data, data + 960, [value](int16_t s) { return s == value; });
}

} // namespace

class TestRingSource : public QObject
{
    Q_OBJECT

private slots:
    void keepsBytesInOrderAcrossTheWrap()
    {
        RRingBuffer buffer(1000);
        QCOMPARE(buffer.Capacity(), uint32_t(1000));
        QCOMPARE(buffer.FreeSize(), uint32_t(1000));
        uint8_t next = 0, expected = 0;
        std::vector<uint8_t> in(1000), out(1000);
        // Chunk sizes that are prime to the storage size hit every split position.
        for (size_t round = 0; round < 400; ++round) {
            const size_t writeLength = 1 + (round * 37) % 499;
            for (size_t i = 0; i < writeLength; ++i)
                in[i] = next++;
            QVERIFY(buffer.Write(in.data(), writeLength));
            // Keep at most 500 bytes held so that the next write always fits.
            const size_t held = buffer.Readable();
            const size_t readLength = held > 500 ? held - round % 100 : 1 + (round * 53) % 331;
            if (readLength > buffer.Readable())
                continue;
            QVERIFY(buffer.Read(out.data(), out.size(), readLength));
            for (size_t i = 0; i < readLength; ++i)
                QCOMPARE(out[i], expected++);
        }
        const uint32_t rest = buffer.Readable();
        QVERIFY(buffer.Read(out.data(), out.size(), rest));
        for (size_t i = 0; i < rest; ++i)
            QCOMPARE(out[i], expected++);
        QCOMPARE(expected, next);
        QCOMPARE(buffer.Readable(), uint32_t(0));
    }

    void readsAllOrNothing()
    {
        RRingBuffer buffer(4096);
        std::vector<uint8_t> bytes(100);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i);
        QVERIFY(buffer.Write(bytes.data(), bytes.size()));
        std::vector<uint8_t> out(200, 0xee);
        QVERIFY(!buffer.Read(out.data(), out.size(), 101)); // more than held
        QVERIFY(!buffer.Read(out.data(), 50, 60));          // destination too small
        QCOMPARE(out[0], uint8_t(0xee));
        QCOMPARE(buffer.Readable(), uint32_t(100));
        QVERIFY(buffer.Read(out.data(), out.size(), 100));
        QVERIFY(std::equal(bytes.begin(), bytes.end(), out.begin()));
    }

    void overflowEmptiesTheBufferAndSaysSo()
    {
        RRingBuffer buffer(30720);
        const std::vector<uint8_t> full(30720, 1);
        QVERIFY(buffer.Write(full.data(), full.size())); // exactly the capacity fits
        QCOMPARE(buffer.FreeSize(), uint32_t(0));
        bool written = true;
        QCOMPARE(captureStdout([&] { written = buffer.Write(full.data(), 1); }),
                 QByteArray("getFreeSize():0\n"));
        QVERIFY(!written);
        QCOMPARE(buffer.Readable(), uint32_t(0));

        const std::vector<uint8_t> most(30000, 2);
        QVERIFY(buffer.Write(most.data(), most.size()));
        QCOMPARE(captureStdout([&] { written = buffer.Write(most.data(), kBlockBytes); }),
                 QByteArray("getFreeSize():720\n"));
        QVERIFY(!written);
        std::vector<uint8_t> out(kBlockBytes);
        QVERIFY(!buffer.Read(out.data(), out.size(), kBlockBytes));
        // Usable again from an empty state.
        QVERIFY(buffer.Write(most.data(), kBlockBytes));
        QCOMPARE(buffer.Readable(), uint32_t(kBlockBytes));
    }

    void sourceWaitsFor60Milliseconds()
    {
        RRingBuffer buffer(30720);
        AudioMixSource source(7, 48000, 2, 1.0f, 10, &buffer);
        QCOMPARE(source.SourceId(), 7);
        QCOMPARE(source.PreferredSampleRate(), 48000);
        QCOMPARE(source.name(), std::string("mixer"));
        AudioFrame frame;

        QVERIFY(write(buffer, audio(59, 5)));
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);
        QCOMPARE(buffer.Readable(), uint32_t(59 * kMsBytes)); // nothing taken
        QVERIFY(frame.muted());

        QVERIFY(write(buffer, audio(1, 5)));
        QCOMPARE(source.GetAudioFrame(32000, &frame), AudioMixer::Source::FrameInfo::Normal);
        QCOMPARE(buffer.Readable(), uint32_t(50 * kMsBytes));
        QVERIFY(frameIs(frame, 5));
        QCOMPARE(frame.samples_per_channel, size_t(480)); // its own rate, not the requested one
        QCOMPARE(frame.sample_rate, 48000);
        QCOMPARE(frame.channels, size_t(2));
        QCOMPARE(frame.voice_activity, AudioFrame::VoiceActivity::Unknown);
        QCOMPARE(frame.speech_type, AudioFrame::SpeechType::Normal);
    }

    void starvedSourceRepeatsOnceThenWaits()
    {
        RRingBuffer buffer(30720);
        AudioMixSource source(1, 48000, 2, 1.0f, 10, &buffer);
        AudioFrame frame;
        for (int16_t block = 1; block <= 6; ++block)
            QVERIFY(write(buffer, audio(10, block)));
        QVERIFY(write(buffer, audio(5, 99))); // half a block never gets read alone
        for (int16_t block = 1; block <= 6; ++block) {
            QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
            QVERIFY(frameIs(frame, block));
        }
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
        QVERIFY(frameIs(frame, 6)); // the last block once more
        QVERIFY(!source.primed());
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);

        QVERIFY(write(buffer, audio(50, 42))); // 55 ms held
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);
        QVERIFY(write(buffer, audio(5, 42)));
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
        const int16_t *data = frame.Data();
        QVERIFY(std::all_of(data, data + 480, [](int16_t s) { return s == 99; }));
        QVERIFY(std::all_of(data + 480, data + 960, [](int16_t s) { return s == 42; }));
    }

    void sourceWithoutBufferOrAfterResetWaits()
    {
        AudioFrame frame;
        AudioMixSource none(1, 48000, 2, 1.0f, 10, nullptr);
        QCOMPARE(none.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);

        RRingBuffer buffer(30720);
        AudioMixSource source(2, 48000, 2, 1.0f, 10, &buffer);
        QVERIFY(write(buffer, audio(70, 3)));
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
        source.ResetPriming(); // 60 ms still held: primes again at once
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
        source.ResetPriming(); // 50 ms held: waits
        QCOMPARE(source.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);

        // Mono at 16000 Hz: 320-byte blocks, 1920 bytes to prime.
        source.SetSampleRate(16000);
        source.SetChannels(1);
        source.SetName("12");
        QCOMPARE(source.name(), std::string("12"));
        QCOMPARE(source.FrameBytes(), size_t(320));
        const std::vector<int16_t> mono(960, 8); // 1920 bytes: 60 ms
        RRingBuffer monoBuffer(4000);
        AudioMixSource monoSource(3, 16000, 1, 1.0f, 10, &monoBuffer);
        QVERIFY(monoBuffer.Write(mono.data(), 1918));
        QCOMPARE(monoSource.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Error);
        QVERIFY(monoBuffer.Write(mono.data(), 2));
        QCOMPARE(monoSource.GetAudioFrame(48000, &frame), AudioMixer::Source::FrameInfo::Normal);
        QCOMPARE(frame.samples_per_channel, size_t(160));
        QCOMPARE(frame.channels, size_t(1));
        QCOMPARE(monoBuffer.Readable(), uint32_t(1600));
    }
};

QTEST_APPLESS_MAIN(TestRingSource)
#include "tst_ringsource.moc"
