#include "audio/mixengine/FrameOps.h"

namespace dr::audiomix {

uint32_t FrameEnergy(const AudioFrame &frame)
{
    if (frame.muted())
        return 0;
    const int16_t *data = frame.Data();
    const size_t length = frame.samples_per_channel * frame.channels;
    uint32_t energy = 0;
    for (size_t i = 0; i < length; ++i) {
        const int32_t sample = data[i];
        energy += static_cast<uint32_t>(sample * sample); // wraps modulo 2^32 by design
    }
    return energy;
}

void RampFrame(float startGain, float endGain, AudioFrame &frame)
{
    if (startGain == endGain || frame.muted())
        return;
    const size_t samplesPerChannel = frame.samples_per_channel;
    const size_t channels = frame.channels;
    const float step = (endGain - startGain) / static_cast<float>(samplesPerChannel);
    float gain = startGain;
    int16_t *data = frame.MutableData();
    for (size_t i = 0; i < samplesPerChannel; ++i) {
        for (size_t c = 0; c < channels; ++c) {
            int16_t &sample = data[channels * i + c];
            sample = static_cast<int16_t>(static_cast<float>(sample) * gain);
        }
        gain += step;
    }
}

void RemixFrame(size_t channels, AudioFrame &frame)
{
    if (frame.channels == 1 && channels == 2) {
        if (frame.muted()) {
            frame.channels = 2;
            return;
        }
        const size_t samplesPerChannel = frame.samples_per_channel;
        if (samplesPerChannel * 2 >= AudioFrame::kMaxDataSizeSamples)
            return; // no room to double it in place
        int16_t *data = frame.MutableData();
        // Back to front, so that no sample is overwritten before it is copied.
        for (size_t i = samplesPerChannel; i-- > 0;) {
            data[2 * i] = data[i];
            data[2 * i + 1] = data[i];
        }
        frame.channels = 2;
    } else if (frame.channels == 2 && channels == 1) {
        if (!frame.muted()) {
            int16_t *data = frame.MutableData();
            for (size_t i = 0; i < frame.samples_per_channel; ++i)
                data[i] = static_cast<int16_t>((data[2 * i] + data[2 * i + 1]) >> 1);
        }
        frame.channels = 1;
    }
}

} // namespace dr::audiomix
