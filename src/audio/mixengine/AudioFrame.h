// One block of interleaved signed 16-bit audio (channel index fastest), at most
// kMaxDataSizeSamples samples over all channels.
//
// Threads: a frame belongs to whoever holds it and has no lock. The engine's frames are
// filled and read on the mixing thread under the engine lock. The shared zero block behind
// a muted frame's Data() is created once, on first use, from any thread (thread-safe).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dr::audiomix {

class AudioFrame
{
public:
    static constexpr size_t kMaxDataSizeSamples = 3840;

    // Carried along; the mixing does not interpret it.
    enum class SpeechType : int32_t
    {
        Normal = 0, // what sources deliver
        Undefined = 4,
    };
    // Active ranks a frame ahead of the others.
    enum class VoiceActivity : int32_t
    {
        Active = 0,
        Passive = 1,
        Unknown = 2,
    };

    AudioFrame() = default;

    // Back to the initial values (muted); the sample array is left as it is.
    void Reset();

    // Sets every field. samplesPerChannel * channels must not exceed kMaxDataSizeSamples
    // (a larger request stops the process). With `samples` they are copied in and the frame
    // is unmuted; with null the frame becomes muted.
    void Fill(uint32_t timestampValue, const int16_t *samples, size_t samplesPerChannel,
              int sampleRate, SpeechType speechType, VoiceActivity voiceActivity,
              size_t channelCount);

    // Read access to kMaxDataSizeSamples samples; a muted frame yields a shared block of
    // zeros instead of its own (stale) array.
    const int16_t *Data() const;
    // Write access; a muted frame first gets its whole array zeroed and is unmuted.
    int16_t *MutableData();
    void Mute() { muted_ = true; }
    bool muted() const { return muted_; }

    // Shared all-zero block of kMaxDataSizeSamples samples.
    static const int16_t *ZeroData();

    uint32_t timestamp = 0;  // sample timestamp; sources set 0
    int64_t elapsed_ms = -1; // -1: not set
    int64_t ntp_ms = -1;     // -1: not set
    size_t samples_per_channel = 0;
    int sample_rate = 0; // Hz
    size_t channels = 0; // 1 or 2
    SpeechType speech_type = SpeechType::Undefined;
    VoiceActivity voice_activity = VoiceActivity::Unknown;
    int64_t profile_ms = 0; // not used by the mixing

private:
    int16_t data_[kMaxDataSizeSamples]; // deliberately not cleared; meaningless while muted
    bool muted_ = true;
};

} // namespace dr::audiomix
