// One heard window's way into the mixing engine: the media connection pushes the source's
// decoded audio (interleaved 16-bit PCM, 48000 Hz, stereo) into the sink's ring buffer, and
// the sink's engine source reads it back 10 ms at a time on the mixing thread.
//
// Threads: constructed, initialised, started, unblocked and destroyed on the main thread by
// the output mixer; Write runs on a media connection's audio thread while that thread holds
// MediaConnection::audioSinkLock(). `m_started` and `m_blocked` are atomics for that reason;
// the ring buffer guards itself; the pair (ring buffer, source) is replaced only by Init,
// which the mixer calls before the sink is registered anywhere. No lock of its own.
#pragma once

#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/RRingBuffer.h"
#include "media/MediaAudioSink.h"

#include <atomic>
#include <cstdint>
#include <memory>

class AudioMixSink : public MediaAudioSink
{
public:
    explicit AudioMixSink(int32_t id) : m_id(id) {}
    ~AudioMixSink() override = default;
    AudioMixSink(const AudioMixSink &) = delete;
    AudioMixSink &operator=(const AudioMixSink &) = delete;

    // Ring buffer of 16 frames of `frameDurationMs` (160 ms at 48000 Hz stereo 16-bit, 10 ms:
    // 30720 bytes) and a fresh engine source reading it. Returns 0.
    int Init(uint32_t sampleRateHz, uint32_t channels, uint32_t bitsPerSample,
             uint32_t frameDurationMs);
    void start() { m_started = true; }
    // Bytes pushed from now on reach the ring buffer (the source is in the engine).
    void unblock() { m_blocked = false; }

    // -1 before start; otherwise the bytes are buffered (or dropped while blocked, or when
    // they overflow the buffer, which then starts again empty) and `lengthBytes` is returned.
    int Write(const int16_t *data, int lengthBytes) override;

    int32_t id() const { return m_id; }
    uint32_t ringBufferBytes() const { return m_ringBufferBytes; }
    dr::audiomix::AudioMixSource *source() const { return m_source.get(); }
    bool blocked() const { return m_blocked; }

private:
    std::shared_ptr<dr::audiomix::RRingBuffer> m_ringBuffer;
    std::shared_ptr<dr::audiomix::AudioMixSource> m_source; // reads m_ringBuffer
    const int32_t m_id;
    uint32_t m_ringBufferBytes = 0;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_blocked{true};
};
