// The exported C functions of our runtime. Each one checks its arguments (null handles and
// frames are ignored) and forwards to the object behind the handle. The signatures come from
// the same function list the loader uses, so a mismatch does not compile.
#include "ndi/NdiApi.h"

#include "Finder.h"
#include "FrameSync.h"
#include "MediaConvert.h"
#include "Receiver.h"
#include "Sender.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#define DR_EXPORT extern "C" __attribute__((visibility("default")))

#define DR_DECLARE_EXPORT(ret, name, params) DR_EXPORT ret NDIlib_##name params;
DR_NDI_FUNCTIONS(DR_DECLARE_EXPORT)
#undef DR_DECLARE_EXPORT

using namespace drndi;

namespace {
Finder *asFinder(NDIlib_find_instance_t h)
{
    return reinterpret_cast<Finder *>(h);
}
Receiver *asRecv(NDIlib_recv_instance_t h)
{
    return reinterpret_cast<Receiver *>(h);
}
Sender *asSend(NDIlib_send_instance_t h)
{
    return reinterpret_cast<Sender *>(h);
}
FrameSync *asSync(NDIlib_framesync_instance_t h)
{
    return reinterpret_cast<FrameSync *>(h);
}

int channelStride(const NDIlib_audio_frame_v2_t *f)
{
    return f->channel_stride_in_bytes > 0 ? f->channel_stride_in_bytes : f->no_samples * 4;
}

// Any audio frame, planar or interleaved: data present and a positive shape.
template <typename Frame> bool validAudio(const Frame *f)
{
    return f && f->p_data && f->no_channels > 0 && f->no_samples > 0;
}

template <typename To, typename From> void copyAudioHeader(const From &src, To &dst)
{
    dst.sample_rate = src.sample_rate;
    dst.no_channels = src.no_channels;
    dst.no_samples = src.no_samples;
    dst.timecode = src.timecode;
}

// Both frames must have been checked (data present, channels and samples > 0); `convert` maps
// one planar float sample to one interleaved sample.
template <typename Interleaved, typename Convert>
void planarToInterleaved(const NDIlib_audio_frame_v2_t &src, Interleaved &dst, Convert convert)
{
    copyAudioHeader(src, dst);
    const int stride = channelStride(&src);
    for (int c = 0; c < src.no_channels; ++c) {
        const float *in = reinterpret_cast<const float *>(
            reinterpret_cast<const uint8_t *>(src.p_data) + size_t(c) * size_t(stride));
        for (int i = 0; i < src.no_samples; ++i)
            dst.p_data[size_t(i) * size_t(src.no_channels) + size_t(c)] = convert(in[i]);
    }
}

// As above the other way; the planar stride is taken after the header is copied, so a zero
// stride means tightly packed channels of the interleaved frame's length.
template <typename Interleaved, typename Convert>
void interleavedToPlanar(const Interleaved &src, NDIlib_audio_frame_v2_t &dst, Convert convert)
{
    copyAudioHeader(src, dst);
    const int stride = channelStride(&dst);
    for (int c = 0; c < src.no_channels; ++c) {
        float *out = reinterpret_cast<float *>(reinterpret_cast<uint8_t *>(dst.p_data) +
                                               size_t(c) * size_t(stride));
        for (int i = 0; i < src.no_samples; ++i)
            out[i] = convert(src.p_data[size_t(i) * size_t(src.no_channels) + size_t(c)]);
    }
}
} // namespace

// ---- Library ----
DR_EXPORT bool NDIlib_initialize(void)
{
    return NDIlib_is_supported_CPU();
}
// Nothing process-wide is torn down here: finders, receivers and senders destroyed after
// it (or never) stay harmless, since applications often end without cleaning up.
DR_EXPORT void NDIlib_destroy(void) {}
DR_EXPORT const char *NDIlib_version(void)
{
    return "desk-recorder-ndi 6.0.0 (Desk Recorder runtime; TCP transport, UYVY)";
}
DR_EXPORT bool NDIlib_is_supported_CPU(void)
{
    return true;
} // plain x86-64 code only

// ---- Find ----
DR_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *settings)
{
    return reinterpret_cast<NDIlib_find_instance_t>(new Finder(settings));
}
DR_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t p)
{
    delete asFinder(p);
}
DR_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p, uint32_t timeoutMs)
{
    return p && asFinder(p)->waitForSources(timeoutMs);
}
DR_EXPORT const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t p,
                                                                 uint32_t *count)
{
    if (!p) {
        if (count)
            *count = 0;
        return nullptr;
    }
    return asFinder(p)->currentSources(count);
}

// ---- Receive ----
DR_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *settings)
{
    NDIlib_recv_create_v3_t defaults;
    return reinterpret_cast<NDIlib_recv_instance_t>(new Receiver(settings ? *settings : defaults));
}
DR_EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t p)
{
    delete asRecv(p);
}
DR_EXPORT void NDIlib_recv_connect(NDIlib_recv_instance_t p, const NDIlib_source_t *src)
{
    if (p)
        asRecv(p)->connect(src);
}
DR_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p,
                                                     NDIlib_video_frame_v2_t *video,
                                                     NDIlib_audio_frame_v2_t *audio,
                                                     NDIlib_metadata_frame_t *metadata,
                                                     uint32_t timeoutMs)
{
    return p ? asRecv(p)->capture(video, audio, metadata, timeoutMs) : NDIlib_frame_type_error;
}
DR_EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p, const NDIlib_video_frame_v2_t *f)
{
    if (p)
        asRecv(p)->freeVideo(f);
}
DR_EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p, const NDIlib_audio_frame_v2_t *f)
{
    if (p)
        asRecv(p)->freeAudio(f);
}
DR_EXPORT void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p, const NDIlib_metadata_frame_t *f)
{
    if (p)
        asRecv(p)->freeMetadata(f);
}
DR_EXPORT void NDIlib_recv_free_string(NDIlib_recv_instance_t p, const char *s)
{
    if (p)
        asRecv(p)->freeString(s);
}
DR_EXPORT bool NDIlib_recv_send_metadata(NDIlib_recv_instance_t p, const NDIlib_metadata_frame_t *f)
{
    return p && asRecv(p)->sendMetadata(f);
}
DR_EXPORT bool NDIlib_recv_set_tally(NDIlib_recv_instance_t p, const NDIlib_tally_t *t)
{
    return p && asRecv(p)->setTally(t);
}
DR_EXPORT int NDIlib_recv_get_no_connections(NDIlib_recv_instance_t p)
{
    return p ? asRecv(p)->connections() : 0;
}
DR_EXPORT bool NDIlib_recv_ptz_is_supported(NDIlib_recv_instance_t p)
{
    return p && asRecv(p)->ptzSupported();
}
DR_EXPORT const char *NDIlib_recv_get_web_control(NDIlib_recv_instance_t p)
{
    return p ? asRecv(p)->webControl() : nullptr;
}
DR_EXPORT void NDIlib_recv_get_performance(NDIlib_recv_instance_t p,
                                           NDIlib_recv_performance_t *total,
                                           NDIlib_recv_performance_t *dropped)
{
    if (p)
        asRecv(p)->performance(total, dropped);
}

// ---- Frame synchroniser ----
DR_EXPORT NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p)
{
    return p ? reinterpret_cast<NDIlib_framesync_instance_t>(new FrameSync(asRecv(p))) : nullptr;
}
DR_EXPORT void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p)
{
    delete asSync(p);
}
DR_EXPORT void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t p,
                                              NDIlib_video_frame_v2_t *f,
                                              NDIlib_frame_format_type_e)
{
    if (p)
        asSync(p)->captureVideo(f);
    else if (f)
        std::memset(static_cast<void *>(f), 0, sizeof *f);
}
DR_EXPORT void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p,
                                           NDIlib_video_frame_v2_t *f)
{
    if (p)
        asSync(p)->freeVideo(f);
}
DR_EXPORT void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p,
                                              NDIlib_audio_frame_v2_t *f, int sampleRate,
                                              int channels, int samples)
{
    if (p)
        asSync(p)->captureAudio(f, sampleRate, channels, samples);
}
DR_EXPORT void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p,
                                           NDIlib_audio_frame_v2_t *f)
{
    if (p)
        asSync(p)->freeAudio(f);
}
DR_EXPORT int NDIlib_framesync_audio_queue_depth(NDIlib_framesync_instance_t p)
{
    return p ? asSync(p)->audioQueueDepth() : 0;
}

// ---- Audio utilities ----
DR_EXPORT void NDIlib_util_audio_to_interleaved_16s_v2(const NDIlib_audio_frame_v2_t *src,
                                                       NDIlib_audio_frame_interleaved_16s_t *dst)
{
    if (!validAudio(src) || !dst || !dst->p_data)
        return;
    const float gain = referenceGain(dst->reference_level);
    planarToInterleaved(*src, *dst, [gain](float v) {
        return int16_t(std::lrint(std::clamp(v * gain, -32768.0f, 32767.0f)));
    });
}

DR_EXPORT void
NDIlib_util_audio_from_interleaved_16s_v2(const NDIlib_audio_frame_interleaved_16s_t *src,
                                          NDIlib_audio_frame_v2_t *dst)
{
    if (!validAudio(src) || !dst || !dst->p_data)
        return;
    const float gain = 1.0f / referenceGain(src->reference_level);
    interleavedToPlanar(*src, *dst, [gain](int16_t v) { return v * gain; });
}

DR_EXPORT void NDIlib_util_audio_to_interleaved_32f_v2(const NDIlib_audio_frame_v2_t *src,
                                                       NDIlib_audio_frame_interleaved_32f_t *dst)
{
    if (!validAudio(src) || !dst || !dst->p_data)
        return;
    planarToInterleaved(*src, *dst, [](float v) { return v; });
}

DR_EXPORT void
NDIlib_util_audio_from_interleaved_32f_v2(const NDIlib_audio_frame_interleaved_32f_t *src,
                                          NDIlib_audio_frame_v2_t *dst)
{
    if (!validAudio(src) || !dst || !dst->p_data)
        return;
    interleavedToPlanar(*src, *dst, [](float v) { return v; });
}

// ---- Send ----
DR_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *settings)
{
    return reinterpret_cast<NDIlib_send_instance_t>(Sender::create(settings).release());
}
DR_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t p)
{
    delete asSend(p);
}
DR_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t p, const NDIlib_video_frame_v2_t *f)
{
    if (p)
        asSend(p)->sendVideo(f);
}
DR_EXPORT void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t p,
                                               const NDIlib_video_frame_v2_t *f)
{
    // The frame is copied before this returns, so the caller's buffer is free at once.
    if (p)
        asSend(p)->sendVideo(f);
}
DR_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p, const NDIlib_audio_frame_v2_t *f)
{
    if (p)
        asSend(p)->sendAudio(f);
}
DR_EXPORT void NDIlib_send_send_metadata(NDIlib_send_instance_t p, const NDIlib_metadata_frame_t *f)
{
    if (p)
        asSend(p)->sendMetadata(f);
}
DR_EXPORT NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t p,
                                                  NDIlib_metadata_frame_t *f, uint32_t timeoutMs)
{
    return p ? asSend(p)->capture(f, timeoutMs) : NDIlib_frame_type_none;
}
DR_EXPORT void NDIlib_send_free_metadata(NDIlib_send_instance_t p, const NDIlib_metadata_frame_t *f)
{
    if (p)
        asSend(p)->freeMetadata(f);
}
DR_EXPORT bool NDIlib_send_get_tally(NDIlib_send_instance_t p, NDIlib_tally_t *t,
                                     uint32_t timeoutMs)
{
    return p && asSend(p)->getTally(t, timeoutMs);
}
DR_EXPORT int NDIlib_send_get_no_connections(NDIlib_send_instance_t p, uint32_t timeoutMs)
{
    return p ? asSend(p)->connections(timeoutMs) : 0;
}
DR_EXPORT void NDIlib_send_clear_connection_metadata(NDIlib_send_instance_t p)
{
    if (p)
        asSend(p)->clearConnectionMetadata();
}
DR_EXPORT void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p,
                                                   const NDIlib_metadata_frame_t *f)
{
    if (p)
        asSend(p)->addConnectionMetadata(f);
}
DR_EXPORT const NDIlib_source_t *NDIlib_send_get_source_name(NDIlib_send_instance_t p)
{
    return p ? asSend(p)->sourceName() : nullptr;
}
