// One video frame as the receiver delivers it. The layout is identical to the NDI runtime's
// video frame structure (checked below and against our NDI declarations in NDIConnection.cpp),
// so the capture call fills it in place without a copy.
// Immutable once published; may be read from any thread while a reference is held.
#pragma once

#include <cstddef>
#include <cstdint>

struct Media_video_frame_t
{
    int32_t xres = 0;                 // width, pixels
    int32_t yres = 0;                 // height, pixels
    uint32_t FourCC = 0x59565955;     // 'UYVY'
    int32_t frame_rate_N = 30000;     // frame-rate numerator
    int32_t frame_rate_D = 1001;      // frame-rate denominator
    float picture_aspect_ratio = 0.f; // 0 = xres / yres
    int32_t frame_format_type = 1;    // progressive
    int64_t timecode = 0;             // 100 ns units
    uint8_t *p_data = nullptr;        // pixels, owned by the frame synchroniser; null = empty frame
    int32_t line_stride_in_bytes = 0; // bytes per line
    const char *p_metadata = nullptr; // per-frame metadata text
    int64_t timestamp = 0;            // 100 ns units

    bool hasData() const { return p_data != nullptr; }
};

static_assert(sizeof(Media_video_frame_t) == 72);
static_assert(offsetof(Media_video_frame_t, FourCC) == 8);
static_assert(offsetof(Media_video_frame_t, picture_aspect_ratio) == 20);
static_assert(offsetof(Media_video_frame_t, frame_format_type) == 24);
static_assert(offsetof(Media_video_frame_t, timecode) == 32);
static_assert(offsetof(Media_video_frame_t, p_data) == 40);
static_assert(offsetof(Media_video_frame_t, line_stride_in_bytes) == 48);
static_assert(offsetof(Media_video_frame_t, p_metadata) == 56);
static_assert(offsetof(Media_video_frame_t, timestamp) == 64);
