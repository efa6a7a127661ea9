// One block of audio as the connection hands it to level meters and audio sinks. The fields
// up to `timestamp` have the layout of the NDI runtime's planar float audio frame; the
// program allocates both sample buffers (std::malloc) and the frame's wrapper frees them.
// Immutable once published; may be read from any thread while a reference is held.
#pragma once

#include <cstddef>
#include <cstdint>

struct Media_audio_frame_t
{
    int32_t sample_rate = 48000;         // Hz
    int32_t no_channels = 2;             // channels
    int32_t no_samples = 0;              // samples per channel
    int64_t timecode = 0;                // 100 ns units
    float *p_data = nullptr;             // interleaved float, no_samples * no_channels values
    int32_t channel_stride_in_bytes = 0; // copied from the captured frame
    const char *p_metadata = nullptr;    // unused
    int64_t timestamp = 0;               // 100 ns units, copied from the captured frame
    int16_t *p_data_16s = nullptr;       // interleaved signed 16-bit, same audio

    // Bytes of the 16-bit copy: what an audio sink receives for this block.
    int bytes16() const { return no_samples * no_channels * 2; }
};

static_assert(sizeof(Media_audio_frame_t) == 64);
static_assert(offsetof(Media_audio_frame_t, timecode) == 16);
static_assert(offsetof(Media_audio_frame_t, p_data) == 24);
static_assert(offsetof(Media_audio_frame_t, channel_stride_in_bytes) == 32);
static_assert(offsetof(Media_audio_frame_t, p_metadata) == 40);
static_assert(offsetof(Media_audio_frame_t, timestamp) == 48);
static_assert(offsetof(Media_audio_frame_t, p_data_16s) == 56);
