// Engine input that reads 10 ms blocks of interleaved 16-bit PCM from a byte ring buffer.
// It starts reading once 60 ms are buffered ("primed"); when the buffer runs dry it hands
// over its previous block once more and waits for 60 ms again.
//
// Threads: GetAudioFrame runs on the mixing thread under the engine lock and reads the ring
// buffer under the buffer's own lock. The setters are for the owner, before the source is
// registered with an engine or while it is not (they are not synchronised with Mix).
// No lock of its own.
#pragma once

#include "audio/mixengine/AudioMixer.h"
#include "audio/mixengine/RRingBuffer.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace dr::audiomix {

class AudioMixSource : public AudioMixer::Source
{
public:
    static constexpr uint32_t kPrimingFrames = 6; // 60 ms of 10 ms blocks
    static constexpr size_t kScratchBytes = 8192;

    // `ringBuffer` is not owned and may be null (the source then always answers Error).
    AudioMixSource(uint32_t id, uint32_t sampleRateHz, uint32_t channels, float gain,
                   uint32_t frameDurationMs, RRingBuffer *ringBuffer);

    // Delivers one 10 ms block at the source's own rate (`sampleRate` is ignored): Normal
    // with the block, or Error while fewer than 60 ms are buffered. Never Muted.
    FrameInfo GetAudioFrame(int sampleRate, AudioFrame *frame) override;
    int SourceId() const override { return static_cast<int>(id_); }
    int PreferredSampleRate() const override { return static_cast<int>(sampleRateHz_); }

    virtual void SetSampleRate(int sampleRateHz);
    virtual void SetChannels(int channels);
    virtual void SetName(std::string name);
    // Waits for 60 ms of audio again before the next block.
    virtual void ResetPriming() { primed_ = false; }

    const std::string &name() const { return name_; }
    float gain() const { return gain_; } // stored for the owner; never applied
    bool primed() const { return primed_; }
    // Times the buffer ran dry after priming (any thread).
    uint64_t dryRuns() const { return dryRuns_.load(std::memory_order_relaxed); }
    // Bytes of one 10 ms block: (rate / 100) * channels * 2.
    size_t FrameBytes() const;

private:
    uint32_t id_;
    uint32_t sampleRateHz_;
    uint32_t channels_;
    uint32_t frameDurationMs_; // kept for the owner; blocks are always 10 ms
    std::string name_ = "mixer";
    RRingBuffer *ringBuffer_;
    float gain_;
    int16_t scratch_[kScratchBytes / sizeof(int16_t)] = {}; // last block read
    bool primed_ = false;
    std::atomic<uint64_t> dryRuns_{0};
};

} // namespace dr::audiomix
