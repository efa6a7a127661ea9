// The mixing engine. Each Mix pass asks every registered source for one 10 ms frame, ranks
// the frames (unmuted first, then voice activity, then energy), sums the loudest three,
// fades a source in over the first frame in which it is mixed, and writes one interleaved
// 16-bit frame at the calculator's output rate. With exactly one registered source the
// frame is copied unchanged (bit-exact).
//
// Threads: AddSource/RemoveSource on the owner's thread, Mix on the mixing thread.
// `mutex_` (the engine lock, not recursive) guards every field below it, including the
// entries and the per-pass lists. Mix takes it twice: once to choose the output rate, once
// for the rest of the pass.
// Lock order: engine lock, then a source's ring-buffer lock (taken inside GetAudioFrame).
// Never the other way round.
#pragma once

#include "audio/mixengine/AudioMixer.h"
#include "audio/mixengine/MixCandidate.h"
#include "audio/mixengine/OutputRateCalculator.h"
#include "audio/mixengine/RefPtr.h"
#include "audio/mixengine/SourceEntry.h"

#include <memory>
#include <mutex>
#include <vector>

namespace dr::audiomix {

class AudioMixerImpl : public AudioMixer
{
public:
    static constexpr size_t kMaxMixedSources = 3;
    static constexpr int kFrameDurationMs = 10;
    // Samples per channel the summing buffer holds: 10 ms at 48000 Hz.
    static constexpr size_t kMaxSummedSamplesPerChannel = 480;

    // The engine, holding one reference. `rateCalculator` must not be null.
    static RefPtr<AudioMixer> Create(std::unique_ptr<OutputRateCalculator> rateCalculator);

    explicit AudioMixerImpl(std::unique_ptr<OutputRateCalculator> rateCalculator);
    AudioMixerImpl(const AudioMixerImpl &) = delete;
    AudioMixerImpl &operator=(const AudioMixerImpl &) = delete;

    bool AddSource(Source *source) override;
    void RemoveSource(Source *source) override;
    bool Mix(size_t channels, AudioFrame *out) override;

protected:
    ~AudioMixerImpl() override = default;

private:
    // Fills mixList_ with the frames to sum and updates the entries' mixed flags and gains.
    void SelectFramesLocked();
    static bool RanksBefore(const MixCandidate &a, const MixCandidate &b);

    std::mutex mutex_;
    const std::unique_ptr<OutputRateCalculator> rateCalculator_;
    int outputRateHz_ = 0;                              // 0 until the first pass
    size_t samplesPerChannel_ = 0;                      // output rate * 10 / 1000
    std::vector<std::unique_ptr<SourceEntry>> sources_; // registration order

    // Per-pass lists, kept to reuse their storage (no allocation once warmed up).
    std::vector<int> preferredRates_;
    std::vector<MixCandidate> candidates_;
    std::vector<AudioFrame *> mixList_;
    std::vector<MixCandidate *> rampList_;
};

} // namespace dr::audiomix
