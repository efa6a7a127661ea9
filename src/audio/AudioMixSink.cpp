#include "audio/AudioMixSink.h"

int AudioMixSink::Init(uint32_t sampleRateHz, uint32_t channels, uint32_t bitsPerSample,
                       uint32_t frameDurationMs)
{
    constexpr uint32_t kFramesBuffered = 16;
    m_ringBufferBytes =
        (bitsPerSample / 8) * sampleRateHz * channels / 1000 * frameDurationMs * kFramesBuffered;
    m_ringBuffer = std::make_shared<dr::audiomix::RRingBuffer>(m_ringBufferBytes);
    m_source = std::make_shared<dr::audiomix::AudioMixSource>(static_cast<uint32_t>(m_id),
                                                              sampleRateHz, channels, 1.0f,
                                                              frameDurationMs, m_ringBuffer.get());
    return 0;
}

int AudioMixSink::Write(const int16_t *data, int lengthBytes)
{
    if (!m_started)
        return -1;
    if (m_blocked || !m_ringBuffer || !data || lengthBytes <= 0)
        return lengthBytes;
    m_ringBuffer->Write(data, static_cast<size_t>(lengthBytes));
    return lengthBytes;
}
