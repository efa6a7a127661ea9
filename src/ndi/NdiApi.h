// Our own declarations of the NDI runtime's C interface (x86-64 Linux, runtimes 5.x and 6.x).
//
// Every structure here crosses the boundary to a runtime we load with dlopen, so its size and
// the offset of each field are checked at compile time below: a wrong layout would compile
// cleanly and corrupt memory at run time.
//
// Times are int64 counts of 100 ns. Enums are 32 bits wide. Memory returned by a capture call
// belongs to the runtime until the matching free call.
//
// The function list (DR_NDI_FUNCTIONS) is the one place naming the runtime's functions: the
// loader (NdiLibrary) expands it into its function table and our runtime into its exports.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Opaque handles ----
struct NDIlib_find_instance_opaque;
struct NDIlib_recv_instance_opaque;
struct NDIlib_send_instance_opaque;
struct NDIlib_framesync_instance_opaque;
typedef NDIlib_find_instance_opaque *NDIlib_find_instance_t;
typedef NDIlib_recv_instance_opaque *NDIlib_recv_instance_t;
typedef NDIlib_send_instance_opaque *NDIlib_send_instance_t;
typedef NDIlib_framesync_instance_opaque *NDIlib_framesync_instance_t;

// ---- Enums (32 bits, each with a 0x7fffffff sentinel) ----
typedef enum NDIlib_frame_type_e
{
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    // The source's web control URL or PTZ capability changed.
    NDIlib_frame_type_status_change = 100,
    NDIlib_frame_type_source_change = 101,
    NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_recv_bandwidth_e
{
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_lowest = 0, // the proxy stream, 640 pixels wide
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_highest = 100,
    NDIlib_recv_bandwidth_max = 0x7fffffff
} NDIlib_recv_bandwidth_e;

typedef enum NDIlib_recv_color_format_e
{
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100, // delivers UYVY
    NDIlib_recv_color_format_best = 101,
    NDIlib_recv_color_format_max = 0x7fffffff
} NDIlib_recv_color_format_e;

typedef enum NDIlib_frame_format_type_e
{
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
    NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

// Four characters packed little-endian: c0 | c1 << 8 | c2 << 16 | c3 << 24.
constexpr uint32_t ndiFourCC(char c0, char c1, char c2, char c3)
{
    return uint32_t(uint8_t(c0)) | uint32_t(uint8_t(c1)) << 8 | uint32_t(uint8_t(c2)) << 16 |
           uint32_t(uint8_t(c3)) << 24;
}

typedef enum NDIlib_FourCC_video_type_e
{
    NDIlib_FourCC_video_type_UYVY = 0x59565955,
    NDIlib_FourCC_video_type_UYVA = 0x41565955,
    NDIlib_FourCC_video_type_P216 = 0x36313250,
    NDIlib_FourCC_video_type_PA16 = 0x36314150,
    NDIlib_FourCC_video_type_I420 = 0x30323449,
    NDIlib_FourCC_video_type_NV12 = 0x3231564E,
    NDIlib_FourCC_video_type_BGRA = 0x41524742,
    NDIlib_FourCC_video_type_BGRX = 0x58524742,
    NDIlib_FourCC_video_type_RGBA = 0x41424752,
    NDIlib_FourCC_video_type_RGBX = 0x58424752,
    NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_FourCC_audio_type_e
{
    NDIlib_FourCC_audio_type_FLTp = 0x70544C46, // planar 32-bit float
    NDIlib_FourCC_audio_type_max = 0x7fffffff
} NDIlib_FourCC_audio_type_e;

// "Synthesize this timecode" when sending; "undefined" for a received timestamp.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;
constexpr int64_t NDIlib_recv_timestamp_undefined = INT64_MAX;

// ---- Structures ----
typedef struct NDIlib_source_t
{
    const char *p_ndi_name = nullptr; // "MACHINE (Source)"
    union {
        const char *p_url_address = nullptr; // "192.168.1.114:5963"
        const char *p_ip_address;
    };
} NDIlib_source_t;

typedef struct NDIlib_find_create_t
{
    bool show_local_sources = true;
    const char *p_groups = nullptr;    // comma separated; NULL = default ("public")
    const char *p_extra_ips = nullptr; // comma separated hosts asked directly
} NDIlib_find_create_t;

typedef struct NDIlib_recv_create_v3_t
{
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
    NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char *p_ndi_recv_name = nullptr;
} NDIlib_recv_create_v3_t;

typedef struct NDIlib_video_frame_v2_t
{
    int xres = 0;
    int yres = 0;
    uint32_t FourCC = NDIlib_FourCC_video_type_UYVY;
    int frame_rate_N = 30000;
    int frame_rate_D = 1001;
    float picture_aspect_ratio = 0.0f; // 0 = xres / yres
    NDIlib_frame_format_type_e frame_format_type = NDIlib_frame_format_type_progressive;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint8_t *p_data = nullptr;
    union {
        int line_stride_in_bytes = 0; // 0 = packed
        int data_size_in_bytes;
    };
    const char *p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_v2_t
{
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0; // per channel
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float *p_data = nullptr; // planar: channel c at p_data + c * channel_stride_in_bytes
    int channel_stride_in_bytes = 0;
    const char *p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_audio_frame_v2_t;

// Not used by the system; declared so that nobody mistakes it for the v2 layout.
typedef struct NDIlib_audio_frame_v3_t
{
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint32_t FourCC = NDIlib_FourCC_audio_type_FLTp;
    uint8_t *p_data = nullptr;
    union {
        int channel_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char *p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_audio_frame_v3_t;

typedef struct NDIlib_audio_frame_interleaved_16s_t
{
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    // dB of headroom above +4 dBu that full scale represents: 0 maps float 1.0 to full scale.
    int reference_level = 0;
    int16_t *p_data = nullptr; // allocated by the caller
} NDIlib_audio_frame_interleaved_16s_t;

typedef struct NDIlib_audio_frame_interleaved_32f_t
{
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float *p_data = nullptr; // allocated by the caller
} NDIlib_audio_frame_interleaved_32f_t;

typedef struct NDIlib_metadata_frame_t
{
    int length = 0; // bytes including the terminating NUL; 0 = use strlen
    int64_t timecode = NDIlib_send_timecode_synthesize;
    char *p_data = nullptr; // UTF-8 XML
} NDIlib_metadata_frame_t;

typedef struct NDIlib_tally_t
{
    bool on_program = false;
    bool on_preview = false;
} NDIlib_tally_t;

typedef struct NDIlib_recv_performance_t
{
    int64_t video_frames = 0;
    int64_t audio_frames = 0;
    int64_t metadata_frames = 0;
} NDIlib_recv_performance_t;

typedef struct NDIlib_send_create_t
{
    const char *p_ndi_name = nullptr;
    const char *p_groups = nullptr;
    bool clock_video = true;
    bool clock_audio = true;
} NDIlib_send_create_t;

// ---- Layout checks (x86-64) ----
#define DR_NDI_CHECK(type, field, off)                                                             \
    static_assert(offsetof(type, field) == (off), #type "." #field)
static_assert(sizeof(bool) == 1);
static_assert(sizeof(NDIlib_frame_type_e) == 4 && sizeof(NDIlib_recv_bandwidth_e) == 4 &&
              sizeof(NDIlib_recv_color_format_e) == 4 && sizeof(NDIlib_frame_format_type_e) == 4 &&
              sizeof(NDIlib_FourCC_video_type_e) == 4 && sizeof(NDIlib_FourCC_audio_type_e) == 4);

static_assert(sizeof(NDIlib_source_t) == 16);
DR_NDI_CHECK(NDIlib_source_t, p_ndi_name, 0);
DR_NDI_CHECK(NDIlib_source_t, p_url_address, 8);
DR_NDI_CHECK(NDIlib_source_t, p_ip_address, 8);

static_assert(sizeof(NDIlib_find_create_t) == 24);
DR_NDI_CHECK(NDIlib_find_create_t, show_local_sources, 0);
DR_NDI_CHECK(NDIlib_find_create_t, p_groups, 8);
DR_NDI_CHECK(NDIlib_find_create_t, p_extra_ips, 16);

static_assert(sizeof(NDIlib_recv_create_v3_t) == 40);
DR_NDI_CHECK(NDIlib_recv_create_v3_t, source_to_connect_to, 0);
DR_NDI_CHECK(NDIlib_recv_create_v3_t, color_format, 16);
DR_NDI_CHECK(NDIlib_recv_create_v3_t, bandwidth, 20);
DR_NDI_CHECK(NDIlib_recv_create_v3_t, allow_video_fields, 24);
DR_NDI_CHECK(NDIlib_recv_create_v3_t, p_ndi_recv_name, 32);

static_assert(sizeof(NDIlib_video_frame_v2_t) == 72);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, xres, 0);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, yres, 4);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, FourCC, 8);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, frame_rate_N, 12);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, frame_rate_D, 16);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, picture_aspect_ratio, 20);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, frame_format_type, 24);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, timecode, 32);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, p_data, 40);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, line_stride_in_bytes, 48);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, data_size_in_bytes, 48);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, p_metadata, 56);
DR_NDI_CHECK(NDIlib_video_frame_v2_t, timestamp, 64);

static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, sample_rate, 0);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, no_channels, 4);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, no_samples, 8);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, timecode, 16);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, p_data, 24);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, channel_stride_in_bytes, 32);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, p_metadata, 40);
DR_NDI_CHECK(NDIlib_audio_frame_v2_t, timestamp, 48);

static_assert(sizeof(NDIlib_audio_frame_v3_t) == 64);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, timecode, 16);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, FourCC, 24);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, p_data, 32);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, channel_stride_in_bytes, 40);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, data_size_in_bytes, 40);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, p_metadata, 48);
DR_NDI_CHECK(NDIlib_audio_frame_v3_t, timestamp, 56);

static_assert(sizeof(NDIlib_audio_frame_interleaved_16s_t) == 40);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, sample_rate, 0);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, no_channels, 4);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, no_samples, 8);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, timecode, 16);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, reference_level, 24);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_16s_t, p_data, 32);

static_assert(sizeof(NDIlib_audio_frame_interleaved_32f_t) == 32);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_32f_t, sample_rate, 0);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_32f_t, no_channels, 4);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_32f_t, no_samples, 8);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_32f_t, timecode, 16);
DR_NDI_CHECK(NDIlib_audio_frame_interleaved_32f_t, p_data, 24);

static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
DR_NDI_CHECK(NDIlib_metadata_frame_t, length, 0);
DR_NDI_CHECK(NDIlib_metadata_frame_t, timecode, 8);
DR_NDI_CHECK(NDIlib_metadata_frame_t, p_data, 16);

static_assert(sizeof(NDIlib_tally_t) == 2 && alignof(NDIlib_tally_t) == 1);
DR_NDI_CHECK(NDIlib_tally_t, on_program, 0);
DR_NDI_CHECK(NDIlib_tally_t, on_preview, 1);

static_assert(sizeof(NDIlib_recv_performance_t) == 24);
DR_NDI_CHECK(NDIlib_recv_performance_t, video_frames, 0);
DR_NDI_CHECK(NDIlib_recv_performance_t, audio_frames, 8);
DR_NDI_CHECK(NDIlib_recv_performance_t, metadata_frames, 16);

static_assert(sizeof(NDIlib_send_create_t) == 24);
DR_NDI_CHECK(NDIlib_send_create_t, p_ndi_name, 0);
DR_NDI_CHECK(NDIlib_send_create_t, p_groups, 8);
DR_NDI_CHECK(NDIlib_send_create_t, clock_video, 16);
DR_NDI_CHECK(NDIlib_send_create_t, clock_audio, 17);
#undef DR_NDI_CHECK

// ---- Functions ----
// X(return type, name without the "NDIlib_" prefix, parameter list). Every entry is required:
// a runtime that lacks one is refused, naming the function.
#define DR_NDI_FUNCTIONS(X)                                                                        \
    /* Library */                                                                                  \
    X(bool, initialize, (void))                                                                    \
    X(void, destroy, (void))                                                                       \
    X(const char *, version, (void))                                                               \
    X(bool, is_supported_CPU, (void))                                                              \
    /* Find */                                                                                     \
    X(NDIlib_find_instance_t, find_create_v2, (const NDIlib_find_create_t *p_create_settings))     \
    X(void, find_destroy, (NDIlib_find_instance_t p_instance))                                     \
    X(bool, find_wait_for_sources, (NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms))    \
    X(const NDIlib_source_t *, find_get_current_sources,                                           \
      (NDIlib_find_instance_t p_instance, uint32_t * p_no_sources))                                \
    /* Receive */                                                                                  \
    X(NDIlib_recv_instance_t, recv_create_v3, (const NDIlib_recv_create_v3_t *p_create_settings))  \
    X(void, recv_destroy, (NDIlib_recv_instance_t p_instance))                                     \
    X(void, recv_connect, (NDIlib_recv_instance_t p_instance, const NDIlib_source_t *p_src))       \
    X(NDIlib_frame_type_e, recv_capture_v2,                                                        \
      (NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t * p_video_data,                  \
       NDIlib_audio_frame_v2_t * p_audio_data, NDIlib_metadata_frame_t * p_metadata,               \
       uint32_t timeout_in_ms))                                                                    \
    X(void, recv_free_video_v2,                                                                    \
      (NDIlib_recv_instance_t p_instance, const NDIlib_video_frame_v2_t *p_video_data))            \
    X(void, recv_free_audio_v2,                                                                    \
      (NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v2_t *p_audio_data))            \
    X(void, recv_free_metadata,                                                                    \
      (NDIlib_recv_instance_t p_instance, const NDIlib_metadata_frame_t *p_metadata))              \
    X(void, recv_free_string, (NDIlib_recv_instance_t p_instance, const char *p_string))           \
    X(bool, recv_send_metadata,                                                                    \
      (NDIlib_recv_instance_t p_instance, const NDIlib_metadata_frame_t *p_metadata))              \
    X(bool, recv_set_tally, (NDIlib_recv_instance_t p_instance, const NDIlib_tally_t *p_tally))    \
    X(int, recv_get_no_connections, (NDIlib_recv_instance_t p_instance))                           \
    X(bool, recv_ptz_is_supported, (NDIlib_recv_instance_t p_instance))                            \
    X(const char *, recv_get_web_control, (NDIlib_recv_instance_t p_instance))                     \
    X(void, recv_get_performance,                                                                  \
      (NDIlib_recv_instance_t p_instance, NDIlib_recv_performance_t * p_total,                     \
       NDIlib_recv_performance_t * p_dropped))                                                     \
    /* Frame synchroniser */                                                                       \
    X(NDIlib_framesync_instance_t, framesync_create, (NDIlib_recv_instance_t p_receiver))          \
    X(void, framesync_destroy, (NDIlib_framesync_instance_t p_instance))                           \
    X(void, framesync_capture_video,                                                               \
      (NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t * p_video_data,             \
       NDIlib_frame_format_type_e field_type))                                                     \
    X(void, framesync_free_video,                                                                  \
      (NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t * p_video_data))            \
    X(void, framesync_capture_audio,                                                               \
      (NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t * p_audio_data,             \
       int sample_rate, int no_channels, int no_samples))                                          \
    X(void, framesync_free_audio,                                                                  \
      (NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t * p_audio_data))            \
    X(int, framesync_audio_queue_depth, (NDIlib_framesync_instance_t p_instance))                  \
    /* Audio utilities */                                                                          \
    X(void, util_audio_to_interleaved_16s_v2,                                                      \
      (const NDIlib_audio_frame_v2_t *p_src, NDIlib_audio_frame_interleaved_16s_t *p_dst))         \
    X(void, util_audio_from_interleaved_16s_v2,                                                    \
      (const NDIlib_audio_frame_interleaved_16s_t *p_src, NDIlib_audio_frame_v2_t *p_dst))         \
    X(void, util_audio_to_interleaved_32f_v2,                                                      \
      (const NDIlib_audio_frame_v2_t *p_src, NDIlib_audio_frame_interleaved_32f_t *p_dst))         \
    X(void, util_audio_from_interleaved_32f_v2,                                                    \
      (const NDIlib_audio_frame_interleaved_32f_t *p_src, NDIlib_audio_frame_v2_t *p_dst))         \
    /* Send */                                                                                     \
    X(NDIlib_send_instance_t, send_create, (const NDIlib_send_create_t *p_create_settings))        \
    X(void, send_destroy, (NDIlib_send_instance_t p_instance))                                     \
    X(void, send_send_video_v2,                                                                    \
      (NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t *p_video_data))            \
    X(void, send_send_video_async_v2,                                                              \
      (NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t *p_video_data))            \
    X(void, send_send_audio_v2,                                                                    \
      (NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t *p_audio_data))            \
    X(void, send_send_metadata,                                                                    \
      (NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t *p_metadata))              \
    X(NDIlib_frame_type_e, send_capture,                                                           \
      (NDIlib_send_instance_t p_instance, NDIlib_metadata_frame_t * p_metadata,                    \
       uint32_t timeout_in_ms))                                                                    \
    X(void, send_free_metadata,                                                                    \
      (NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t *p_metadata))              \
    X(bool, send_get_tally,                                                                        \
      (NDIlib_send_instance_t p_instance, NDIlib_tally_t * p_tally, uint32_t timeout_in_ms))       \
    X(int, send_get_no_connections, (NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms))   \
    X(void, send_clear_connection_metadata, (NDIlib_send_instance_t p_instance))                   \
    X(void, send_add_connection_metadata,                                                          \
      (NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t *p_metadata))              \
    X(const NDIlib_source_t *, send_get_source_name, (NDIlib_send_instance_t p_instance))
