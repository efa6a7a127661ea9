#include "media/NDIRecvInstance.h"

// Our frame records are handed to the runtime in place: their layouts must be its own.
#define DR_SAME_FIELD(ours, theirs, field)                                                         \
    static_assert(offsetof(ours, field) == offsetof(theirs, field) &&                              \
                  sizeof(ours::field) == sizeof(theirs::field))
static_assert(sizeof(Media_video_frame_t) == sizeof(NDIlib_video_frame_v2_t));
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, xres);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, yres);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, FourCC);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, frame_rate_N);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, frame_rate_D);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, picture_aspect_ratio);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, frame_format_type);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, timecode);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, p_data);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, line_stride_in_bytes);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, p_metadata);
DR_SAME_FIELD(Media_video_frame_t, NDIlib_video_frame_v2_t, timestamp);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, sample_rate);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, no_channels);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, no_samples);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, timecode);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, p_data);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, channel_stride_in_bytes);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, p_metadata);
DR_SAME_FIELD(Media_audio_frame_t, NDIlib_audio_frame_v2_t, timestamp);
#undef DR_SAME_FIELD

NDIRecvInstance::NDIRecvInstance(const NdiLibrary &lib, NdiReceiver receiver, int ndiBandwidth,
                                 const QString &name)
    : m_lib(lib), m_bandwidth(ndiBandwidth), m_recv(std::move(receiver)), m_name(name)
{
}

NDIRecvInstance::~NDIRecvInstance()
{
    m_framesync.reset();
    m_recv.reset();
}

NDIlib_framesync_instance_t NDIRecvInstance::frameSync()
{
    if (!m_framesync && m_recv)
        m_framesync = makeNdiFrameSync(m_lib, m_recv.get());
    return m_framesync.get();
}

void NDIRecvInstance::freeVideo(Media_video_frame_t *frame)
{
    if (m_framesync && frame->p_data)
        m_lib->framesync_free_video(m_framesync.get(),
                                    reinterpret_cast<NDIlib_video_frame_v2_t *>(frame));
}

void NDIRecvInstance::freeAudio(Media_audio_frame_t *frame)
{
    if (m_framesync)
        m_lib->framesync_free_audio(m_framesync.get(),
                                    reinterpret_cast<NDIlib_audio_frame_v2_t *>(frame));
}

QString NDIRecvInstance::ntpServer() const
{
    std::lock_guard<std::mutex> lock(m_ntpLock);
    return m_ntpServer;
}

void NDIRecvInstance::setNtpServer(const QString &server)
{
    std::lock_guard<std::mutex> lock(m_ntpLock);
    m_ntpServer = server;
}
