#include "audio/mixengine/AudioMixSource.h"

#include "audio/mixengine/Checks.h"
#include "audio/mixengine/NumericRange.h"

namespace dr::audiomix {

AudioMixSource::AudioMixSource(uint32_t id, uint32_t sampleRateHz, uint32_t channels, float gain,
                               uint32_t frameDurationMs, RRingBuffer *ringBuffer)
    : id_(id), sampleRateHz_(sampleRateHz), channels_(channels), frameDurationMs_(frameDurationMs),
      ringBuffer_(ringBuffer), gain_(gain)
{
}

size_t AudioMixSource::FrameBytes() const
{
    return size_t{sampleRateHz_ / 100} * channels_ * sizeof(int16_t);
}

AudioMixer::Source::FrameInfo AudioMixSource::GetAudioFrame(int, AudioFrame *frame)
{
    const size_t frameBytes = FrameBytes();
    if (!ringBuffer_)
        return FrameInfo::Error;
    if (!primed_) {
        if (ringBuffer_->Readable() >= kPrimingFrames * frameBytes)
            primed_ = true;
        else
            return FrameInfo::Error;
    }
    AUDIOMIX_CHECK_LE(frameBytes, sizeof scratch_);
    if (!ringBuffer_->Read(scratch_, sizeof scratch_, frameBytes)) {
        // Ran dry: hand over the previous block once more and wait for 60 ms again.
        primed_ = false;
        dryRuns_.fetch_add(1, std::memory_order_relaxed);
    }
    frame->Fill(0, scratch_, sampleRateHz_ / 100, CheckedCast<int>(sampleRateHz_),
                AudioFrame::SpeechType::Normal, AudioFrame::VoiceActivity::Unknown, channels_);
    return FrameInfo::Normal;
}

void AudioMixSource::SetSampleRate(int sampleRateHz)
{
    sampleRateHz_ = CheckedCast<uint32_t>(sampleRateHz);
}

void AudioMixSource::SetChannels(int channels)
{
    channels_ = CheckedCast<uint32_t>(channels);
}

void AudioMixSource::SetName(std::string name)
{
    name_ = std::move(name);
}

} // namespace dr::audiomix
