// Sample-level operations of a mixing pass: energy, gain ramp, channel conversion and the
// float-to-16-bit rounding of the summing stage. Stateless free functions; each touches
// only the frame it is given (callers provide the locking, the engine runs them on the
// mixing thread under its lock).
#pragma once

#include "audio/mixengine/AudioFrame.h"

#include <cstdint>

namespace dr::audiomix {

// Sum of sample * sample over every sample of every channel, accumulated modulo 2^32
// (loud frames wrap). 0 for a muted frame.
uint32_t FrameEnergy(const AudioFrame &frame);

// Ramps the frame's gain linearly from `startGain` towards `endGain`: per sample index,
// every channel's sample becomes sample * running gain (float, truncated toward zero), then
// the running gain grows by (endGain - startGain) / samples_per_channel. Nothing happens
// when the gains are equal or the frame is muted. A fade-in's first sample becomes 0.
void RampFrame(float startGain, float endGain, AudioFrame &frame);

// Brings the frame to `channels` (1 or 2): mono to stereo duplicates every sample (a frame
// too long to double in place is left as it is); stereo to mono takes (left + right) >> 1.
// A muted frame only changes its channel count.
void RemixFrame(size_t channels, AudioFrame &frame);

// A float sum back to 16 bits: rounds half away from zero and clips at the 16-bit range
// (v >= 32766.5 gives 32767, v <= -32767.5 gives -32768).
inline int16_t RoundToS16(float v)
{
    if (v > 0)
        return v >= 32766.5f ? int16_t{32767} : static_cast<int16_t>(v + 0.5f);
    return v <= -32767.5f ? int16_t{-32768} : static_cast<int16_t>(v - 0.5f);
}

} // namespace dr::audiomix
