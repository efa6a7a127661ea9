#include "Receiver.h"

#include "DiscoveryService.h"
#include "FrameSync.h"
#include "Log.h"
#include "MediaConvert.h"
#include "Socket.h"
#include "WireParser.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace drndi {

namespace {
constexpr int kConnectTimeoutMs = 1000;
constexpr int kRetryMs = 200;
constexpr int kHelloTimeoutMs = 3000;

std::string cString(const char *s)
{
    return s ? std::string(s) : std::string();
}

bool isTrue(const std::string &v)
{
    return v == "true" || v == "TRUE" || v == "True" || v == "1";
}
} // namespace

Receiver::Receiver(const NDIlib_recv_create_v3_t &settings)
    : m_bandwidth(settings.bandwidth), m_colorFormat(settings.color_format),
      m_receiverName(cString(settings.p_ndi_recv_name)), m_discovery(DiscoveryService::acquire())
{
    m_targetName = cString(settings.source_to_connect_to.p_ndi_name);
    m_targetAddress = cString(settings.source_to_connect_to.p_url_address);
    m_cancel.open();
    m_thread = std::thread([this] { run(); });
}

Receiver::~Receiver()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_cancel.cancel();
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (m_sendFd >= 0)
            ::shutdown(m_sendFd, SHUT_RDWR);
    }
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_sinkMutex);
        if (m_sink)
            m_sink->forgetReceiver();
    }
    for (const char *s : m_stringsOut)
        delete[] s;
}

void Receiver::connect(const NDIlib_source_t *source)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targetName = source ? cString(source->p_ndi_name) : std::string();
        m_targetAddress = source ? cString(source->p_url_address) : std::string();
        ++m_targetVersion;
    }
    m_cv.notify_all();
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_sendFd >= 0)
        ::shutdown(m_sendFd, SHUT_RDWR); // the worker drops the old connection at once
}

void Receiver::sleepInterruptible(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t version = m_targetVersion;
    m_cv.wait_for(lock, std::chrono::milliseconds(ms),
                  [&] { return m_stop.load() || m_targetVersion != version; });
}

void Receiver::run()
{
    std::string lastFailure;
    while (!m_stop) {
        std::string name, address;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] {
                return m_stop.load() || !m_targetName.empty() || !m_targetAddress.empty();
            });
            if (m_stop)
                break;
            name = m_targetName;
            address = m_targetAddress;
        }
        sockaddr_in addr{};
        bool addressOk = parseHostPort(address, &addr);
        std::string error = "no address";
        FdHandle fd;
        if (addressOk)
            fd = connectTcp(addr, kConnectTimeoutMs, &error, m_cancel.fd());
        if (!fd.valid()) {
            // The source may have come back elsewhere: look its name up again.
            std::string found = name.empty() ? std::string() : m_discovery->lookup(name);
            if (!found.empty() && found != address) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_targetName == name)
                    m_targetAddress = found;
                continue;
            }
            std::string failure = "cannot connect to \"" + name + "\" at " + address + ": " + error;
            if (failure != lastFailure)
                logLine("%s; retrying", failure.c_str());
            lastFailure = failure;
            sleepInterruptible(kRetryMs);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_writeMutex);
            if (m_stop)
                break;
            m_sendFd = fd.get();
        }
        std::string why = serve(fd.get());
        {
            std::lock_guard<std::mutex> lock(m_writeMutex);
            m_sendFd = -1;
        }
        fd.reset();
        bool wasConnected;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            wasConnected = m_connected;
            m_connected = false;
            if (wasConnected && !m_stop)
                m_errorPending = true;
        }
        m_cv.notify_all();
        if (m_stop)
            break;
        if (!wasConnected && !name.empty()) {
            // Refused or no answer: whatever listens there now is not our source; follow the
            // name to wherever it is now.
            std::string found = m_discovery->lookup(name);
            if (!found.empty() && found != address) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_targetName == name)
                    m_targetAddress = found;
            }
        }
        if (!why.empty() && why != lastFailure)
            logLine("connection to \"%s\" at %s closed: %s", name.c_str(), address.c_str(),
                    why.c_str());
        lastFailure = why;
        if (wasConnected)
            lastFailure.clear();
        sleepInterruptible(kRetryMs);
    }
}

std::string Receiver::serve(int fd)
{
    std::string wanted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wanted = m_targetName;
    }
    HelloMsg hello;
    hello.bandwidth = m_bandwidth;
    hello.sourceName = wanted;
    hello.receiverName = m_receiverName;
    if (!sendPacket(encodeHello(hello)))
        return "cannot send hello";
    // A peer that never answers must not hold the worker; a stalled write must not either.
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    WireParser parser;
    bool acked = false;
    int64_t helloDeadline = steadyMs() + kHelloTimeoutMs;
    while (!m_stop) {
        if (!acked) {
            int64_t left = helloDeadline - steadyMs();
            if (left <= 0 || !waitReadable(fd, int(left)))
                return "no answer to hello";
        }
        ssize_t n = ::recv(fd, parser.buffer(), parser.wanted(), 0);
        if (n == 0) {
            if (!acked)
                return "closed before answering hello";
            return parser.midMessage() ? "connection ended inside a message" : "";
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return m_stop ? "" : std::string(std::strerror(errno));
        }
        WireParser::Result r = parser.commit(size_t(n));
        if (r == WireParser::Result::Error)
            return parser.error();
        if (r != WireParser::Result::Message)
            continue;
        PayloadPtr payload = parser.takePayload();
        if (!acked) {
            HelloAckMsg ack;
            std::string why;
            if (parser.type() != uint16_t(MsgType::HelloAck) ||
                !decodeHelloAck(*payload, &ack, &why))
                return why.empty() ? "expected hello answer" : why;
            if (!ack.accepted)
                return "source \"" + ack.sourceName + "\" is not \"" + wanted + "\"";
            acked = true;
            bool tallySet;
            NDIlib_tally_t tally;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_connected = true;
                tallySet = m_tallySet;
                tally = m_tally;
            }
            m_cv.notify_all();
            if (tallySet)
                sendPacket(encodeTally(tally.on_program, tally.on_preview));
            continue;
        }
        std::string why;
        if (!handle(parser.type(), payload, &why))
            return why;
    }
    return "";
}

bool Receiver::handle(uint16_t type, const PayloadPtr &payload, std::string *why)
{
    Item item;
    item.type = MsgType(type);
    item.payload = payload;
    switch (MsgType(type)) {
    case MsgType::Video: {
        if (!decodeVideo(*payload, &item.video, why))
            return false;
        if (m_bandwidth == NDIlib_recv_bandwidth_audio_only ||
            m_bandwidth == NDIlib_recv_bandwidth_metadata_only)
            return true;
        if (m_colorFormat == NDIlib_recv_color_format_BGRX_BGRA ||
            m_colorFormat == NDIlib_recv_color_format_RGBX_RGBA) {
            bool rgb = m_colorFormat == NDIlib_recv_color_format_RGBX_RGBA;
            auto converted =
                std::make_shared<Payload>(size_t(item.video.xres) * size_t(item.video.yres) * 4);
            uyvyToRgbx(item.video.pixels, item.video.xres, item.video.yres, rgb, converted->data());
            item.payload = converted;
            item.video.pixels = converted->data();
            item.video.fourCC = rgb ? NDIlib_FourCC_video_type_RGBX : NDIlib_FourCC_video_type_BGRX;
        } else {
            item.video.fourCC = NDIlib_FourCC_video_type_UYVY;
        }
        bool synced = false;
        {
            std::lock_guard<std::mutex> sinkLock(m_sinkMutex);
            if (m_sink) {
                m_sink->pushVideo(item.payload, item.video);
                synced = true;
            }
        }
        {
            // Counted only once the frame synchroniser holds it: a caller that saw the count
            // rise can capture the frame.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_total.video_frames++;
        }
        if (synced)
            return true;
        break;
    }
    case MsgType::Audio: {
        if (!decodeAudio(*payload, &item.audio, why))
            return false;
        if (m_bandwidth == NDIlib_recv_bandwidth_metadata_only)
            return true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_total.audio_frames++;
        }
        std::lock_guard<std::mutex> lock(m_sinkMutex);
        if (m_sink) {
            m_sink->pushAudio(item.audio);
            return true;
        }
        break;
    }
    case MsgType::Metadata:
        if (!decodeText(*payload, &item.text, why))
            return false;
        item.payload.reset();
        break;
    case MsgType::ConnMeta: {
        if (!decodeText(*payload, &item.text, why))
            return false;
        std::string web = xmlAttribute(item.text.text, "ndi_capabilities", "web_control");
        bool ptz = isTrue(xmlAttribute(item.text.text, "ndi_capabilities", "ntk_ptz"));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (web != m_webControl || ptz != m_ptz) {
                m_webControl = web;
                m_ptz = ptz;
                m_statusPending = true;
            }
        }
        m_cv.notify_all();
        if (item.text.text.empty())
            return true;
        // Connection metadata is also seen as a metadata frame.
        item.type = MsgType::Metadata;
        item.payload.reset();
        break;
    }
    default:
        *why = "unexpected message type " + std::to_string(type) + " from the source";
        return false;
    }
    enqueue(std::move(item));
    return true;
}

void Receiver::enqueue(Item item)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto dropOldest = [&](MsgType type, size_t &count, int64_t &dropped) {
            for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
                if (it->type == type) {
                    m_queue.erase(it);
                    --count;
                    ++dropped;
                    return;
                }
            }
        };
        switch (item.type) {
        case MsgType::Video:
            if (m_queuedVideo >= kMaxVideoQueue)
                dropOldest(MsgType::Video, m_queuedVideo, m_dropped.video_frames);
            ++m_queuedVideo;
            break;
        case MsgType::Audio:
            if (m_queuedAudio >= kMaxAudioQueue)
                dropOldest(MsgType::Audio, m_queuedAudio, m_dropped.audio_frames);
            ++m_queuedAudio;
            break;
        default:
            if (m_queuedMetadata >= kMaxMetadataQueue)
                dropOldest(MsgType::Metadata, m_queuedMetadata, m_dropped.metadata_frames);
            ++m_queuedMetadata;
            m_total.metadata_frames++;
            break;
        }
        m_queue.push_back(std::move(item));
    }
    m_cv.notify_all();
}

NDIlib_frame_type_e Receiver::capture(NDIlib_video_frame_v2_t *video,
                                      NDIlib_audio_frame_v2_t *audio,
                                      NDIlib_metadata_frame_t *metadata, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_statusPending) {
            m_statusPending = false;
            return NDIlib_frame_type_status_change;
        }
        if (m_errorPending) {
            m_errorPending = false;
            return NDIlib_frame_type_error;
        }
        for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
            if (it->type == MsgType::Video && video) {
                const VideoMsg &m = it->video;
                describeVideo(m, video);
                m_videoOut[video->p_data] = it->payload;
                if (!m.metadata.empty()) {
                    auto &kept = m_videoMetaOut[video->p_data];
                    kept = m.metadata;
                    video->p_metadata = kept.c_str();
                }
                --m_queuedVideo;
                m_queue.erase(it);
                return NDIlib_frame_type_video;
            }
            if (it->type == MsgType::Audio && audio) {
                const AudioMsg &m = it->audio;
                *audio = NDIlib_audio_frame_v2_t{};
                audio->sample_rate = m.sampleRate;
                audio->no_channels = m.channels;
                audio->no_samples = m.samples;
                audio->timecode = m.timecode;
                audio->p_data = const_cast<float *>(m.data);
                audio->channel_stride_in_bytes = m.samples * 4;
                audio->timestamp = m.timestamp;
                m_audioOut[audio->p_data] = it->payload;
                --m_queuedAudio;
                m_queue.erase(it);
                return NDIlib_frame_type_audio;
            }
            if (it->type == MsgType::Metadata && metadata) {
                const std::string &text = it->text.text;
                char *copy = new char[text.size() + 1];
                std::memcpy(copy, text.c_str(), text.size() + 1);
                m_stringsOut.insert(copy);
                *metadata = NDIlib_metadata_frame_t{};
                metadata->length = int(text.size() + 1);
                metadata->timecode = it->text.timecode;
                metadata->p_data = copy;
                --m_queuedMetadata;
                m_queue.erase(it);
                return NDIlib_frame_type_metadata;
            }
        }
        if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout && !m_statusPending &&
            !m_errorPending) {
            // Timed out: return nothing unless something the caller takes arrived meanwhile
            // (then the next turn hands it out).
            bool any = false;
            for (const auto &i : m_queue)
                any = any || (i.type == MsgType::Video && video) ||
                      (i.type == MsgType::Audio && audio) ||
                      (i.type == MsgType::Metadata && metadata);
            if (!any)
                return NDIlib_frame_type_none;
        }
    }
}

void Receiver::freeVideo(const NDIlib_video_frame_v2_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_videoOut.erase(frame->p_data);
    m_videoMetaOut.erase(frame->p_data);
}

void Receiver::freeAudio(const NDIlib_audio_frame_v2_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_audioOut.erase(frame->p_data);
}

void Receiver::freeMetadata(const NDIlib_metadata_frame_t *frame)
{
    if (frame)
        freeString(frame->p_data);
}

void Receiver::freeString(const char *text)
{
    if (!text)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_stringsOut.find(text);
    if (it == m_stringsOut.end())
        return; // not ours (or freed twice): ignore rather than corrupt the heap
    delete[] * it;
    m_stringsOut.erase(it);
}

bool Receiver::sendPacket(const Packet &packet)
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_sendFd < 0)
        return false;
    return sendAll(m_sendFd, packet->data(), packet->size());
}

bool Receiver::sendMetadata(const NDIlib_metadata_frame_t *frame)
{
    if (!frame || !frame->p_data)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_connected)
            return false;
    }
    size_t len = frame->length > 0 ? strnlen(frame->p_data, size_t(frame->length))
                                   : std::strlen(frame->p_data);
    if (len > kMaxTextBytes)
        return false;
    return sendPacket(
        encodeText(MsgType::Metadata, frame->timecode, std::string(frame->p_data, len)));
}

bool Receiver::setTally(const NDIlib_tally_t *tally)
{
    if (!tally)
        return false;
    bool connected;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tally = *tally;
        m_tallySet = true;
        connected = m_connected;
    }
    if (connected)
        sendPacket(encodeTally(tally->on_program, tally->on_preview));
    return true;
}

int Receiver::connections()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected ? 1 : 0;
}

bool Receiver::ptzSupported()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ptz;
}

const char *Receiver::webControl()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_webControl.empty())
        return nullptr;
    char *copy = new char[m_webControl.size() + 1];
    std::memcpy(copy, m_webControl.c_str(), m_webControl.size() + 1);
    m_stringsOut.insert(copy);
    return copy;
}

void Receiver::performance(NDIlib_recv_performance_t *total, NDIlib_recv_performance_t *dropped)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (total)
        *total = m_total;
    if (dropped)
        *dropped = m_dropped;
}

void Receiver::attachFrameSync(FrameSync *sync)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::lock_guard<std::mutex> sinkLock(m_sinkMutex);
    m_sink = sync;
    // Whatever was queued for capture now belongs to the frame synchroniser's timeline.
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->type == MsgType::Video) {
            sync->pushVideo(it->payload, it->video);
            --m_queuedVideo;
            it = m_queue.erase(it);
        } else if (it->type == MsgType::Audio) {
            sync->pushAudio(it->audio);
            --m_queuedAudio;
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
}

void Receiver::detachFrameSync(FrameSync *sync)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (m_sink == sync)
        m_sink = nullptr;
}

void describeVideo(const VideoMsg &m, NDIlib_video_frame_v2_t *frame)
{
    *frame = NDIlib_video_frame_v2_t{};
    frame->xres = m.xres;
    frame->yres = m.yres;
    frame->FourCC = m.fourCC;
    frame->frame_rate_N = m.frameRateN;
    frame->frame_rate_D = m.frameRateD;
    frame->picture_aspect_ratio = m.aspect;
    frame->frame_format_type = NDIlib_frame_format_type_progressive;
    frame->timecode = m.timecode;
    frame->p_data = const_cast<uint8_t *>(m.pixels);
    frame->line_stride_in_bytes = m.xres * bytesPerPixel(m.fourCC);
    frame->timestamp = m.timestamp;
}

} // namespace drndi
