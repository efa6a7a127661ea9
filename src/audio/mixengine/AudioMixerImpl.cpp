#include "audio/mixengine/AudioMixerImpl.h"

#include "audio/mixengine/Checks.h"
#include "audio/mixengine/FrameOps.h"
#include "audio/mixengine/NumericRange.h"
#include "audio/mixengine/RefCountedObject.h"

#include <algorithm>
#include <cstring>

namespace dr::audiomix {

RefPtr<AudioMixer> AudioMixerImpl::Create(std::unique_ptr<OutputRateCalculator> rateCalculator)
{
    return RefPtr<AudioMixer>(new RefCountedObject<AudioMixerImpl>(std::move(rateCalculator)));
}

AudioMixerImpl::AudioMixerImpl(std::unique_ptr<OutputRateCalculator> rateCalculator)
    : rateCalculator_(std::move(rateCalculator))
{
    AUDIOMIX_CHECK(rateCalculator_ != nullptr);
}

bool AudioMixerImpl::AddSource(Source *source)
{
    std::lock_guard lock(mutex_);
    sources_.push_back(std::make_unique<SourceEntry>(source));
    return true;
}

void AudioMixerImpl::RemoveSource(Source *source)
{
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(sources_.begin(), sources_.end(),
                                 [source](const auto &entry) { return entry->source == source; });
    if (it != sources_.end())
        sources_.erase(it);
}

bool AudioMixerImpl::RanksBefore(const MixCandidate &a, const MixCandidate &b)
{
    if (a.muted != b.muted)
        return !a.muted;
    const bool aActive = a.frame->voice_activity == AudioFrame::VoiceActivity::Active;
    const bool bActive = b.frame->voice_activity == AudioFrame::VoiceActivity::Active;
    if (aActive != bActive)
        return aActive;
    return a.energy > b.energy;
}

void AudioMixerImpl::SelectFramesLocked()
{
    candidates_.clear();
    mixList_.clear();
    rampList_.clear();

    for (const auto &entry : sources_) {
        const Source::FrameInfo info = entry->source->GetAudioFrame(outputRateHz_, &entry->frame);
        if (info == Source::FrameInfo::Error)
            continue; // no frame: not part of this pass, entry left as it is
        const bool muted = info == Source::FrameInfo::Muted;
        candidates_.push_back(
            {entry.get(), &entry->frame, muted, muted ? 0u : FrameEnergy(entry->frame)});
    }

    // Stable insertion sort: a handful of candidates, no allocation, ties keep
    // registration order.
    for (size_t i = 1; i < candidates_.size(); ++i) {
        const MixCandidate moving = candidates_[i];
        size_t j = i;
        for (; j > 0 && RanksBefore(moving, candidates_[j - 1]); --j)
            candidates_[j] = candidates_[j - 1];
        candidates_[j] = moving;
    }

    size_t allowance = kMaxMixedSources;
    for (MixCandidate &candidate : candidates_) {
        if (candidate.muted || allowance == 0) {
            candidate.entry->mixed = false;
            continue;
        }
        --allowance;
        mixList_.push_back(candidate.frame);
        rampList_.push_back(&candidate);
        candidate.entry->mixed = true;
    }

    // A source fades in over the first frame it is mixed in after registration, once.
    for (MixCandidate *candidate : rampList_) {
        RampFrame(candidate->entry->gain, 1.0f, *candidate->frame);
        candidate->entry->gain = 1.0f;
    }
}

bool AudioMixerImpl::Mix(size_t channels, AudioFrame *out)
{
    AUDIOMIX_CHECK(channels == 1 || channels == 2);
    {
        std::lock_guard lock(mutex_);
        preferredRates_.clear();
        for (const auto &entry : sources_)
            preferredRates_.push_back(entry->source->PreferredSampleRate());
        outputRateHz_ = rateCalculator_->CalculateOutputRate(preferredRates_);
        samplesPerChannel_ = CheckedCast<size_t>(int64_t{outputRateHz_} * kFrameDurationMs / 1000);
    }

    std::lock_guard lock(mutex_);
    const size_t streamCount = sources_.size();
    const size_t samplesPerChannel = samplesPerChannel_;
    SelectFramesLocked();

    out->Fill(0, nullptr, samplesPerChannel, outputRateHz_, AudioFrame::SpeechType::Undefined,
              AudioFrame::VoiceActivity::Unknown, channels);
    if (mixList_.empty()) {
        out->elapsed_ms = -1;
    } else if (mixList_.size() == 1) {
        out->timestamp = mixList_.front()->timestamp;
        out->elapsed_ms = mixList_.front()->elapsed_ms;
    }

    for (AudioFrame *frame : mixList_)
        RemixFrame(channels, *frame);

    if (streamCount <= 1) {
        // One source plays bit-exact: no float round trip.
        if (!mixList_.empty()) {
            const AudioFrame &frame = *mixList_.front();
            std::memcpy(out->MutableData(), frame.Data(),
                        sizeof(int16_t) * frame.samples_per_channel * frame.channels);
        }
        return !mixList_.empty();
    }

    AUDIOMIX_CHECK_LE(samplesPerChannel, kMaxSummedSamplesPerChannel);
    // Interleaved like the frames (index channels * i + c): every element receives the same
    // additions in the same order as a per-channel layout, and the loops vectorise.
    float sum[2 * kMaxSummedSamplesPerChannel] = {};
    for (const AudioFrame *frame : mixList_) {
        const int16_t *data = frame->Data();
        const size_t frameChannels = frame->channels;
        const size_t length = std::min(frame->samples_per_channel, samplesPerChannel);
        if (frameChannels == channels) {
            for (size_t k = 0; k < length * channels; ++k)
                sum[k] += static_cast<float>(data[k]);
        } else {
            // A frame left in its own channel layout (too long to convert in place).
            for (size_t i = 0; i < length; ++i) {
                for (size_t c = 0; c < channels; ++c)
                    sum[channels * i + c] += static_cast<float>(data[frameChannels * i + c]);
            }
        }
    }
    int16_t *outData = out->MutableData();
    for (size_t k = 0; k < samplesPerChannel * channels; ++k)
        outData[k] = RoundToS16(sum[k]);
    return !mixList_.empty();
}

} // namespace dr::audiomix
