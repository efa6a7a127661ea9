#include "audio/mixengine/AudioFrame.h"

#include "audio/mixengine/Checks.h"

#include <cstring>

namespace dr::audiomix {

void AudioFrame::Reset()
{
    timestamp = 0;
    elapsed_ms = -1;
    ntp_ms = -1;
    samples_per_channel = 0;
    sample_rate = 0;
    channels = 0;
    speech_type = SpeechType::Undefined;
    voice_activity = VoiceActivity::Unknown;
    profile_ms = 0;
    muted_ = true;
}

void AudioFrame::Fill(uint32_t timestampValue, const int16_t *samples, size_t samplesPerChannel,
                      int sampleRate, SpeechType speechType, VoiceActivity voiceActivity,
                      size_t channelCount)
{
    timestamp = timestampValue;
    samples_per_channel = samplesPerChannel;
    sample_rate = sampleRate;
    speech_type = speechType;
    voice_activity = voiceActivity;
    channels = channelCount;

    const size_t length = samplesPerChannel * channelCount;
    AUDIOMIX_CHECK_LE(length, kMaxDataSizeSamples);
    if (samples) {
        std::memcpy(data_, samples, sizeof(int16_t) * length);
        muted_ = false;
    } else {
        muted_ = true;
    }
}

const int16_t *AudioFrame::Data() const
{
    return muted_ ? ZeroData() : data_;
}

int16_t *AudioFrame::MutableData()
{
    if (muted_) {
        std::memset(data_, 0, sizeof data_);
        muted_ = false;
    }
    return data_;
}

const int16_t *AudioFrame::ZeroData()
{
    // Function-local static: zero-filled, created once, thread-safe on first use.
    static const int16_t zeros[kMaxDataSizeSamples] = {};
    return zeros;
}

} // namespace dr::audiomix
