#include "MovFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/timecode.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

namespace {

constexpr int kAvioBufferBytes = 256 << 10;
constexpr int64_t kCfrOffTicks = 120000; // video ticks per second without a constant rate

std::string averrorText(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

// The source picture formats we accept, as libswscale names them.
AVPixelFormat sourceFormat(uint32_t fourcc)
{
    switch (fourcc) {
    case NDIlib_FourCC_video_type_UYVY:
    case NDIlib_FourCC_video_type_UYVA: // the alpha plane after the picture is ignored
        return AV_PIX_FMT_UYVY422;
    case NDIlib_FourCC_video_type_BGRA:
        return AV_PIX_FMT_BGRA;
    case NDIlib_FourCC_video_type_BGRX:
        return AV_PIX_FMT_BGR0;
    case NDIlib_FourCC_video_type_RGBA:
        return AV_PIX_FMT_RGBA;
    case NDIlib_FourCC_video_type_RGBX:
        return AV_PIX_FMT_RGB0;
    case NDIlib_FourCC_video_type_I420:
        return AV_PIX_FMT_YUV420P;
    case NDIlib_FourCC_video_type_NV12:
        return AV_PIX_FMT_NV12;
    default:
        return AV_PIX_FMT_NONE;
    }
}

std::string isoNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    return text;
}

} // namespace

int64_t MovFile::videoTicksPerSecond(bool cfr, int fpsN, int fpsD, int *tickDen)
{
    if (cfr) {
        *tickDen = fpsD;
        return fpsN;
    }
    *tickDen = 1;
    return kCfrOffTicks;
}

std::unique_ptr<MovFile> MovFile::create(const Settings &settings, DiskWriter &writer,
                                         const std::string &path, std::string *error,
                                         DiskWriter::Error *kind)
{
    *kind = DiskWriter::Error::CannotWrite;
    std::unique_ptr<MovFile> file(new MovFile);
    file->m_settings = settings;
    file->m_writer = &writer;
    if (!file->open(path, error, kind)) {
        if (writer.error() != DiskWriter::Error::None)
            *kind = writer.error();
        return nullptr;
    }
    return file;
}

MovFile::~MovFile()
{
    if (m_format) {
        if (m_format->pb) {
            av_freep(&m_format->pb->buffer);
            avio_context_free(&m_format->pb);
        }
        avformat_free_context(m_format);
    }
    if (m_file && !m_finished)
        m_writer->close(m_file);
    avcodec_free_context(&m_video);
    avcodec_free_context(&m_audio);
    sws_freeContext(m_sws);
    av_frame_free(&m_lastPicture);
    av_buffer_pool_uninit(&m_picturePool); // pictures still held free themselves later
    av_packet_free(&m_packet);
}

bool MovFile::fail(const std::string &what, int averror)
{
    if (m_error.empty()) {
        m_error = what;
        if (averror)
            m_error += ": " + averrorText(averror);
        if (m_writer->error() != DiskWriter::Error::None)
            m_error = m_writer->errorText();
    }
    return false;
}

int MovFile::onWrite(void *opaque, uint8_t *data, int size)
{
    auto *self = static_cast<MovFile *>(opaque);
    if (self->m_writeFailed || !self->m_writer->write(self->m_file, data, size_t(size))) {
        self->m_writeFailed = true;
        return AVERROR(EIO);
    }
    self->m_bytes += size;
    return size;
}

bool MovFile::open(const std::string &path, std::string *error, DiskWriter::Error *kind)
{
    m_file = m_writer->create(path, error, kind);
    if (!m_file)
        return false;
    const Settings &s = m_settings;
    m_audioTolerance = s.audioRate ? int64_t(s.audioRate) * s.fpsD / s.fpsN : 0;
    m_packet = av_packet_alloc();
    if (avformat_alloc_output_context2(&m_format, nullptr, "mov", nullptr) < 0 || !m_packet) {
        *error = "cannot set up the MOV muxer";
        return false;
    }
    auto *buffer = static_cast<uint8_t *>(av_malloc(kAvioBufferBytes));
    // No seek function: the fragmented muxer writes strictly forwards.
    m_format->pb =
        avio_alloc_context(buffer, kAvioBufferBytes, 1, this, nullptr, &MovFile::onWrite, nullptr);
    if (!m_format->pb) {
        av_free(buffer);
        *error = "out of memory";
        return false;
    }
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;

    if (!openVideoEncoder() || (s.audioRate > 0 && !openAudioEncoder())) {
        *error = m_error;
        return false;
    }

    // Timecode: drop-frame at 29.97 and 59.94 so that it follows the clock.
    const bool dropFrame = s.fpsD == 1001 && (s.fpsN == 30000 || s.fpsN == 60000);
    m_timecodeFlags = AV_TIMECODE_FLAG_24HOURSMAX | (dropFrame ? AV_TIMECODE_FLAG_DROPFRAME : 0);
    m_timecodeRateN = s.fpsN;
    m_timecodeRateD = s.fpsD;
    AVTimecode tc;
    if (av_timecode_init(&tc, AVRational{s.fpsN, s.fpsD}, m_timecodeFlags, 0, nullptr) < 0) {
        // An unusual rate: count at the nearest whole rate instead.
        m_timecodeFlags = AV_TIMECODE_FLAG_24HOURSMAX;
        m_timecodeRateN = std::max(1, int(std::lround(double(s.fpsN) / s.fpsD)));
        m_timecodeRateD = 1;
    }
    av_dict_set(&m_format->metadata, "timecode", timecodeAt(0).c_str(), 0);
    av_dict_set(&m_format->metadata, "creation_time", isoNow().c_str(), 0);
    av_dict_set(&m_format->metadata, "title", s.sourceName.c_str(), 0);
    const std::string comment =
        "NDI source " + s.sourceName + (s.sourceAddress.empty() ? "" : " at " + s.sourceAddress);
    av_dict_set(&m_format->metadata, "comment", comment.c_str(), 0);
    av_dict_set(&m_format->metadata, "encoder", "Desk Recorder ndi-recorder", 0);

    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof", 0);
    const int err = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (err < 0) {
        fail("cannot write the file header of " + m_file->path, err);
        *error = m_error;
        return false;
    }
    avio_flush(m_format->pb);
    m_writer->sync(m_file);
    if (m_writeFailed) {
        fail("cannot write " + m_file->path);
        *error = m_error;
        return false;
    }
    return true;
}

bool MovFile::openVideoEncoder()
{
    const Settings &s = m_settings;
    const char *encoder = s.codec == RecorderOptions::Codec::SpeedHq   ? "speedhq"
                          : s.codec == RecorderOptions::Codec::UtVideo ? "utvideo"
                                                                       : "libx264";
    const AVCodec *codec = avcodec_find_encoder_by_name(encoder);
    if (!codec)
        return fail(std::string("this FFmpeg has no ") + encoder + " encoder");
    m_video = avcodec_alloc_context3(codec);
    int tickDen = 1;
    const int64_t ticks = videoTicksPerSecond(s.cfr, s.fpsN, s.fpsD, &tickDen);
    m_video->time_base = AVRational{tickDen, int(ticks)};
    m_video->framerate = AVRational{s.fpsN, s.fpsD};
    m_video->width = s.width;
    m_video->height = s.height;
    m_video->sample_aspect_ratio = AVRational{1, 1};
    m_pixelFormat =
        s.codec == RecorderOptions::Codec::H264 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
    m_video->pix_fmt = AVPixelFormat(m_pixelFormat);
    // NDI pictures: Rec.709 above 720x576, BT.601 up to it; limited range.
    const bool hd = s.width > 720 || s.height > 576;
    m_video->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    m_video->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    m_video->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    m_video->color_range = AVCOL_RANGE_MPEG;
    m_video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    m_video->thread_count = 0;
    AVDictionary *options = nullptr;
    if (s.codec == RecorderOptions::Codec::H264) {
        // Fast enough for several 1080p streams on two cores, and visually lossless for
        // monitoring; a keyframe every second so that fragments stay a second long.
        m_video->gop_size = std::max(1, int(std::lround(double(s.fpsN) / s.fpsD)));
        m_video->keyint_min = m_video->gop_size;
        m_video->max_b_frames = 0;
        av_dict_set(&options, "preset", "ultrafast", 0);
        av_dict_set(&options, "crf", "18", 0);
    } else if (s.codec == RecorderOptions::Codec::SpeedHq) {
        m_video->flags |= AV_CODEC_FLAG_QSCALE;
        m_video->global_quality = FF_QP2LAMBDA * 2;
    }
    const int err = avcodec_open2(m_video, codec, &options);
    av_dict_free(&options);
    if (err < 0)
        return fail(std::string("cannot open the ") + encoder + " encoder", err);
    m_videoStream = avformat_new_stream(m_format, nullptr);
    if (!m_videoStream || avcodec_parameters_from_context(m_videoStream->codecpar, m_video) < 0)
        return fail("cannot add the video track");
    m_videoStream->time_base = m_video->time_base;
    m_videoStream->avg_frame_rate = m_video->framerate;
    return true;
}

bool MovFile::openAudioEncoder()
{
    const Settings &s = m_settings;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S24LE);
    if (!codec)
        return fail("this FFmpeg has no 24-bit PCM encoder");
    m_audio = avcodec_alloc_context3(codec);
    m_audio->sample_fmt = AV_SAMPLE_FMT_S32;
    m_audio->sample_rate = s.audioRate;
    av_channel_layout_default(&m_audio->ch_layout, s.audioChannels);
    m_audio->time_base = AVRational{1, s.audioRate};
    const int err = avcodec_open2(m_audio, codec, nullptr);
    if (err < 0)
        return fail("cannot open the PCM encoder", err);
    m_audioStream = avformat_new_stream(m_format, nullptr);
    if (!m_audioStream || avcodec_parameters_from_context(m_audioStream->codecpar, m_audio) < 0)
        return fail("cannot add the audio track");
    m_audioStream->time_base = m_audio->time_base;
    return true;
}

std::string MovFile::timecodeAt(int64_t frame) const
{
    AVTimecode tc;
    const int64_t perDay = int64_t(std::llround(86400.0 * m_timecodeRateN / m_timecodeRateD));
    const int start = int((m_settings.timecodeFrame % perDay + perDay) % perDay);
    if (av_timecode_init(&tc, AVRational{m_timecodeRateN, m_timecodeRateD}, m_timecodeFlags, start,
                         nullptr) < 0)
        return "00:00:00:00";
    char text[AV_TIMECODE_STR_SIZE];
    return av_timecode_make_string(&tc, text, int(frame % perDay));
}

bool MovFile::cutFragment()
{
    // frag_custom: a null packet ends the fragment; then every byte of it goes to the
    // writer and is made durable.
    const int err = av_write_frame(m_format, nullptr);
    if (err < 0)
        return fail("cannot write a fragment of " + m_file->path, err);
    avio_flush(m_format->pb);
    if (m_writeFailed)
        return fail("cannot write " + m_file->path);
    m_writer->sync(m_file);
    return true;
}

bool MovFile::writePacket(AVPacket *packet, AVCodecContext *codec, AVStream *stream)
{
    if (stream == m_videoStream && (packet->flags & AV_PKT_FLAG_KEY) && m_videoFrames > 0) {
        const double at = double(packet->pts) * av_q2d(codec->time_base);
        const double frame = double(m_settings.fpsD) / m_settings.fpsN;
        if (at - m_lastCutSeconds >= 1.0 - frame / 2) {
            if (!cutFragment())
                return false;
            m_lastCutSeconds = at;
        }
    }
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
    const int err = av_write_frame(m_format, packet);
    av_packet_unref(packet);
    if (err < 0 || m_writeFailed)
        return fail("cannot write to " + m_file->path, err);
    return true;
}

bool MovFile::sendFrame(AVCodecContext *codec, AVStream *stream, AVFrame *frame)
{
    int err = avcodec_send_frame(codec, frame);
    if (err < 0)
        return fail("the encoder refused a frame", err);
    for (;;) {
        err = avcodec_receive_packet(codec, m_packet);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return fail("the encoder failed", err);
        if (!writePacket(m_packet, codec, stream))
            return false;
    }
}

bool MovFile::writeVideo(const NDIlib_video_frame_v2_t &in, int64_t pts)
{
    if (m_finished || pts <= m_lastVideoPts)
        return false;
    const AVPixelFormat from = sourceFormat(in.FourCC);
    if (from == AV_PIX_FMT_NONE || !in.p_data || in.xres <= 0 || in.yres <= 0)
        return false;
    const uint8_t *planes[4] = {};
    int strides[4] = {};
    const int stride = in.line_stride_in_bytes;
    switch (from) {
    case AV_PIX_FMT_UYVY422:
        planes[0] = in.p_data;
        strides[0] = stride > 0 ? stride : in.xres * 2;
        break;
    case AV_PIX_FMT_YUV420P:
        strides[0] = stride > 0 ? stride : in.xres;
        strides[1] = strides[2] = strides[0] / 2;
        planes[0] = in.p_data;
        planes[1] = planes[0] + size_t(strides[0]) * in.yres;
        planes[2] = planes[1] + size_t(strides[1]) * ((in.yres + 1) / 2);
        break;
    case AV_PIX_FMT_NV12:
        strides[0] = strides[1] = stride > 0 ? stride : in.xres;
        planes[0] = in.p_data;
        planes[1] = planes[0] + size_t(strides[0]) * in.yres;
        break;
    default:
        planes[0] = in.p_data;
        strides[0] = stride > 0 ? stride : in.xres * 4;
        break;
    }
    m_sws =
        sws_getCachedContext(m_sws, in.xres, in.yres, from, m_video->width, m_video->height,
                             AVPixelFormat(m_pixelFormat), SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!m_sws)
        return fail("cannot convert the picture");
    // A fresh picture each time: the encoder may still hold the previous one.
    const AVPixelFormat to = AVPixelFormat(m_pixelFormat);
    if (!m_picturePool)
        m_picturePool = av_buffer_pool_init(
            size_t(av_image_get_buffer_size(to, m_video->width, m_video->height, 64)), nullptr);
    AVFrame *picture = av_frame_alloc();
    picture->format = m_pixelFormat;
    picture->width = m_video->width;
    picture->height = m_video->height;
    picture->buf[0] = m_picturePool ? av_buffer_pool_get(m_picturePool) : nullptr;
    if (!picture->buf[0] ||
        av_image_fill_arrays(picture->data, picture->linesize, picture->buf[0]->data, to,
                             m_video->width, m_video->height, 64) < 0) {
        av_frame_free(&picture);
        return fail("out of memory for a picture");
    }
    sws_scale(m_sws, planes, strides, 0, in.yres, picture->data, picture->linesize);
    av_frame_free(&m_lastPicture);
    m_lastPicture = picture;
    return repeatVideo(pts);
}

bool MovFile::repeatVideo(int64_t pts)
{
    if (!m_lastPicture || m_finished || pts <= m_lastVideoPts)
        return false;
    AVFrame *frame = av_frame_clone(m_lastPicture); // shares the pixels, read only
    if (!frame)
        return fail("out of memory for a picture");
    frame->pts = pts;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    const bool ok = sendFrame(m_video, m_videoStream, frame);
    av_frame_free(&frame);
    if (!ok)
        return false;
    m_lastVideoPts = pts;
    ++m_videoFrames;
    return true;
}

bool MovFile::writeAudio(const NDIlib_audio_frame_v2_t &block, int first, int count,
                         int64_t position)
{
    if (!m_audio || m_finished || count <= 0 || !block.p_data)
        return !m_finished;
    const int channels = m_settings.audioChannels;
    constexpr int kSilenceChunk = 4800;
    // Where the block should go against where continuous sound puts it. Timestamps jitter
    // with the sender's load, so small offsets are averaged (about a second) and corrected
    // only when the average passes one frame; a jump of half a second or more (the source
    // was away) is corrected at once.
    const int64_t drift = position - m_audioNext;
    int64_t correction = 0;
    if (m_audioNext == 0 || std::abs(drift) >= m_settings.audioRate / 2) {
        correction = drift;
        m_offsetAverage = 0;
    } else {
        m_offsetAverage += (double(drift) - m_offsetAverage) * 0.05;
        if (std::abs(m_offsetAverage) > double(m_audioTolerance)) {
            correction = std::llround(m_offsetAverage);
            m_offsetAverage = 0;
        }
    }
    if (correction > 0) {
        // A gap: silence keeps the sound in step with the pictures.
        const int64_t until = m_audioNext + correction;
        while (m_audioNext < until) {
            const int n = int(std::min<int64_t>(kSilenceChunk, until - m_audioNext));
            AVFrame *silence = av_frame_alloc();
            silence->format = AV_SAMPLE_FMT_S32;
            silence->nb_samples = n;
            silence->sample_rate = m_settings.audioRate;
            av_channel_layout_copy(&silence->ch_layout, &m_audio->ch_layout);
            if (av_frame_get_buffer(silence, 0) < 0) {
                av_frame_free(&silence);
                return fail("out of memory for sound");
            }
            std::memset(silence->data[0], 0, size_t(n) * channels * 4);
            silence->pts = m_audioNext;
            const bool ok = sendFrame(m_audio, m_audioStream, silence);
            av_frame_free(&silence);
            if (!ok)
                return false;
            m_audioNext += n;
        }
    } else if (correction < 0) {
        const int64_t skip = -correction;
        if (skip >= count)
            return true;
        first += int(skip);
        count -= int(skip);
    }
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_S32;
    frame->nb_samples = count;
    frame->sample_rate = m_settings.audioRate;
    av_channel_layout_copy(&frame->ch_layout, &m_audio->ch_layout);
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
        return fail("out of memory for sound");
    }
    // Float 1.0 is full scale; 24 significant bits in the upper bytes of each 32-bit sample.
    auto *out = reinterpret_cast<int32_t *>(frame->data[0]);
    const auto *base = reinterpret_cast<const uint8_t *>(block.p_data);
    const int stride = block.channel_stride_in_bytes > 0 ? block.channel_stride_in_bytes
                                                         : block.no_samples * int(sizeof(float));
    for (int c = 0; c < channels; ++c) {
        if (c >= block.no_channels) {
            for (int i = 0; i < count; ++i)
                out[size_t(i) * channels + c] = 0;
            continue;
        }
        const auto *in = reinterpret_cast<const float *>(base + size_t(c) * stride) + first;
        for (int i = 0; i < count; ++i) {
            const float v = std::clamp(in[i], -1.0f, 1.0f);
            const int32_t s24 = std::clamp(int32_t(std::lrint(v * 8388608.0f)), -8388608, 8388607);
            out[size_t(i) * channels + c] = int32_t(uint32_t(s24) << 8);
        }
    }
    frame->pts = m_audioNext;
    const bool ok = sendFrame(m_audio, m_audioStream, frame);
    av_frame_free(&frame);
    if (!ok)
        return false;
    m_audioNext += count;
    return true;
}

bool MovFile::finish()
{
    if (m_finished)
        return m_error.empty();
    bool ok = sendFrame(m_video, m_videoStream, nullptr);
    if (ok && m_audio)
        ok = sendFrame(m_audio, m_audioStream, nullptr);
    if (ok) {
        const int err = av_write_trailer(m_format);
        avio_flush(m_format->pb);
        if (err < 0 || m_writeFailed)
            ok = fail("cannot write the end of " + m_file->path, err);
    }
    m_finished = true;
    m_writer->close(m_file);
    return ok;
}
