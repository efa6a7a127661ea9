#include "Sender.h"

#include "DiscoveryService.h"
#include "Log.h"
#include "MediaConvert.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace drndi {

namespace {

int64_t steadyUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Which video a receiver of this bandwidth gets: 0 none, 1 proxy, 2 full.
int videoKind(int32_t bandwidth)
{
    if (bandwidth < 0 || bandwidth == NDIlib_recv_bandwidth_audio_only)
        return 0;
    return bandwidth < NDIlib_recv_bandwidth_audio_only ? 1 : 2;
}

std::string tallyEcho(const NDIlib_tally_t &t)
{
    return std::string("<ndi_tally_echo on_program=\"") + (t.on_program ? "true" : "false") +
           "\" on_preview=\"" + (t.on_preview ? "true" : "false") + "\"/>";
}

} // namespace

std::unique_ptr<Sender> Sender::create(const NDIlib_send_create_t *settings)
{
    std::unique_ptr<Sender> s(new Sender);
    std::string name = settings && settings->p_ndi_name && *settings->p_ndi_name
                           ? settings->p_ndi_name
                           : "Desk Recorder";
    s->m_groups =
        settings && settings->p_groups && *settings->p_groups ? settings->p_groups : "public";
    s->m_clockVideo = settings ? settings->clock_video : true;
    s->m_clockAudio = settings ? settings->clock_audio : true;
    s->m_fullName = DiscoveryService::hostName() + " (" + name + ")";
    s->m_listen = listenTcp(0);
    if (!s->m_listen.valid()) {
        logLine("sender \"%s\": cannot open a TCP port: %s", s->m_fullName.c_str(),
                std::strerror(errno));
        return nullptr;
    }
    uint16_t port = localPort(s->m_listen.get());
    s->m_address = DiscoveryService::localHostAddress() + ":" + std::to_string(port);
    s->m_source.p_ndi_name = s->m_fullName.c_str();
    s->m_source.p_url_address = s->m_address.c_str();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    s->m_wakeRead.reset(fds[0]);
    s->m_wakeWrite.reset(fds[1]);
    s->m_discovery = DiscoveryService::acquire();
    s->m_discovery->useInterfaces(InterfaceSelection::fromEnvironment());
    s->m_registration =
        s->m_discovery->addLocalSource(SourceEntry{s->m_fullName, s->m_groups, port});
    Sender *raw = s.get();
    s->m_acceptThread = std::thread([raw] { raw->acceptLoop(); });
    return s;
}

Sender::~Sender()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_cv.notify_all();
    char c = 1;
    ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
    (void)ignored;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_discovery)
        m_discovery->removeLocalSource(m_registration);
    std::vector<std::unique_ptr<SenderConnection>> conns;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        conns.swap(m_conns);
    }
    for (auto &c2 : conns)
        c2->close();
    conns.clear(); // joins their threads (they call onClosed, which takes m_mutex)
    for (const char *s : m_stringsOut)
        delete[] s;
}

void Sender::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{m_listen.get(), POLLIN, 0}, {m_wakeRead.get(), POLLIN, 0}};
        ::poll(fds, 2, 200);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                return;
        }
        reap();
        if (!(fds[0].revents & POLLIN))
            continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        FdHandle fd(
            ::accept4(m_listen.get(), reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC));
        if (!fd.valid())
            continue;
        auto conn = std::make_unique<SenderConnection>(std::move(fd), formatAddress(peer), this);
        SenderConnection *raw = conn.get();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_conns.size() >= 256) {
                logLine("sender \"%s\": refusing %s: too many receivers", m_fullName.c_str(),
                        raw->peer().c_str());
                continue;
            }
            m_conns.push_back(std::move(conn));
        }
        raw->start();
    }
}

void Sender::reap()
{
    std::vector<std::unique_ptr<SenderConnection>> done;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            if ((*it)->finished()) {
                done.push_back(std::move(*it));
                it = m_conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    done.clear(); // joins outside the lock
}

bool Sender::onHello(SenderConnection *conn, const HelloMsg &hello, std::string *name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!hello.sourceName.empty() && hello.sourceName != m_fullName) {
        *name = m_fullName;
        return false;
    }
    HelloAckMsg ack;
    ack.accepted = true;
    ack.sourceName = m_fullName;
    conn->queue(encodeHelloAck(ack), false);
    if (!m_connMeta.empty())
        conn->queue(encodeText(MsgType::ConnMeta, NDIlib_send_timecode_synthesize, m_connMeta),
                    false);
    if (!m_tallyEcho.empty())
        conn->queue(encodeText(MsgType::Metadata, NDIlib_send_timecode_synthesize, m_tallyEcho),
                    false);
    int kind = videoKind(hello.bandwidth);
    if (m_lastVideo && kind == 2)
        conn->queue(m_lastVideo, true);
    if (m_lastVideo && kind == 1) {
        if (!m_lastProxy)
            m_lastProxy = proxyOf(m_lastVideo);
        if (m_lastProxy)
            conn->queue(m_lastProxy, true);
    }
    m_connTally.push_back({conn, ConnTally{}});
    m_cv.notify_all();
    return true;
}

void Sender::onMetadata(SenderConnection *, const TextMsg &text)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_metadataIn.size() >= kMaxMetadataQueue)
            m_metadataIn.pop_front();
        m_metadataIn.push_back(text);
    }
    m_cv.notify_all();
}

void Sender::onTally(SenderConnection *conn, bool program, bool preview)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &c : m_connTally)
        if (c.first == conn)
            c.second = ConnTally{program, preview};
    updateTallyLocked();
}

void Sender::onClosed(SenderConnection *conn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connTally.erase(std::remove_if(m_connTally.begin(), m_connTally.end(),
                                     [&](const auto &c) { return c.first == conn; }),
                      m_connTally.end());
    updateTallyLocked();
    m_cv.notify_all();
}

void Sender::updateTallyLocked()
{
    NDIlib_tally_t combined;
    for (const auto &c : m_connTally) {
        combined.on_program = combined.on_program || c.second.program;
        combined.on_preview = combined.on_preview || c.second.preview;
    }
    if (combined.on_program == m_tally.on_program && combined.on_preview == m_tally.on_preview)
        return;
    m_tally = combined;
    m_tallyChanged = true;
    m_tallyEcho = tallyEcho(combined);
    Packet echo = encodeText(MsgType::Metadata, NDIlib_send_timecode_synthesize, m_tallyEcho);
    for (auto &c : m_connTally)
        c.first->queue(echo, false);
    m_cv.notify_all();
}

Packet Sender::proxyOf(const Packet &full)
{
    // Decode our own packet: the header sits at a fixed place after the message header.
    Payload payload(full->begin() + long(kHeaderSize), full->end());
    VideoMsg msg;
    std::string why;
    if (!decodeVideo(payload, &msg, &why))
        return nullptr;
    int px, py;
    proxySize(msg.xres, msg.yres, &px, &py);
    if (px == msg.xres && py == msg.yres)
        return full;
    ByteBuffer scaled(size_t(px) * size_t(py) * 2);
    scaleUyvy(msg.pixels, msg.xres, msg.yres, msg.xres * 2, scaled.data(), px, py);
    VideoMsg proxy = msg;
    proxy.xres = px;
    proxy.yres = py;
    if (proxy.aspect <= 0)
        proxy.aspect = float(msg.xres) / float(msg.yres);
    return encodeVideo(proxy, scaled.data(), px * 2);
}

void Sender::pace(int64_t periodUs, int64_t *nextUs)
{
    int64_t now = steadyUs();
    if (*nextUs == 0 || now - *nextUs > 2 * periodUs)
        *nextUs = now;
    if (*nextUs > now)
        std::this_thread::sleep_for(std::chrono::microseconds(*nextUs - now));
    *nextUs += periodUs;
}

void Sender::sendVideo(const NDIlib_video_frame_v2_t *frame)
{
    if (!frame || !frame->p_data)
        return; // a null frame only releases an async buffer; ours are copied at once
    std::lock_guard<std::mutex> sendLock(m_videoMutex);
    const int x = frame->xres, y = frame->yres;
    const uint32_t fourCC = frame->FourCC;
    const bool uyvy =
        fourCC == NDIlib_FourCC_video_type_UYVY || fourCC == NDIlib_FourCC_video_type_UYVA;
    const bool rgba =
        fourCC == NDIlib_FourCC_video_type_BGRA || fourCC == NDIlib_FourCC_video_type_BGRX ||
        fourCC == NDIlib_FourCC_video_type_RGBA || fourCC == NDIlib_FourCC_video_type_RGBX;
    if (x <= 0 || y <= 0 || uint32_t(x) > kMaxVideoWidth || uint32_t(y) > kMaxVideoHeight ||
        (x & 1) || (!uyvy && !rgba)) {
        if (!m_warnedFormat)
            logLine(
                "sender \"%s\": frame %dx%d FourCC 0x%08x not sent (UYVY/UYVA/BGRA/BGRX/RGBA/RGBX"
                " with an even width up to %ux%u only)",
                m_fullName.c_str(), x, y, fourCC, kMaxVideoWidth, kMaxVideoHeight);
        m_warnedFormat = true;
        return;
    }
    int frN = frame->frame_rate_N > 0 ? frame->frame_rate_N : 30000;
    int frD = frame->frame_rate_D > 0 ? frame->frame_rate_D : 1001;
    if (m_clockVideo)
        pace(int64_t(1000000) * frD / frN, &m_nextVideoUs);
    m_lastVideoSendUs = steadyUs();

    const uint8_t *pixels = frame->p_data;
    int stride = frame->line_stride_in_bytes > 0 ? frame->line_stride_in_bytes : x * (uyvy ? 2 : 4);
    if (rgba) {
        m_convert.resize(size_t(x) * size_t(y) * 2);
        bool rgbOrder =
            fourCC == NDIlib_FourCC_video_type_RGBA || fourCC == NDIlib_FourCC_video_type_RGBX;
        rgbaToUyvy(pixels, x, y, stride, rgbOrder, m_convert.data());
        pixels = m_convert.data();
        stride = x * 2;
    }
    VideoMsg msg;
    msg.xres = x;
    msg.yres = y;
    msg.fourCC = NDIlib_FourCC_video_type_UYVY;
    msg.frameRateN = frN;
    msg.frameRateD = frD;
    msg.aspect = frame->picture_aspect_ratio;
    msg.formatType = frame->frame_format_type;
    msg.timestamp = realtime100ns();
    msg.timecode =
        frame->timecode == NDIlib_send_timecode_synthesize ? msg.timestamp : frame->timecode;
    if (frame->p_metadata)
        msg.metadata.assign(frame->p_metadata, strnlen(frame->p_metadata, kMaxTextBytes));
    Packet full = encodeVideo(msg, pixels, stride);

    bool needProxy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        needProxy = std::any_of(m_connTally.begin(), m_connTally.end(),
                                [](const auto &c) { return videoKind(c.first->bandwidth()) == 1; });
    }
    // The proxy is made only while a low-bandwidth receiver is connected.
    Packet proxy = needProxy ? proxyOf(full) : nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastVideo = full;
    m_lastProxy = proxy;
    for (auto &c : m_connTally) {
        int kind = videoKind(c.first->bandwidth());
        if (kind == 2)
            c.first->queue(full, true);
        else if (kind == 1) {
            if (!m_lastProxy)
                m_lastProxy = proxyOf(full);
            if (m_lastProxy)
                c.first->queue(m_lastProxy, true);
        }
    }
}

void Sender::sendAudio(const NDIlib_audio_frame_v2_t *frame)
{
    if (!frame || !frame->p_data || frame->sample_rate < 1000 || frame->sample_rate > 384000 ||
        frame->no_channels < 1 || uint32_t(frame->no_channels) > kMaxAudioChannels ||
        frame->no_samples < 1 ||
        uint64_t(frame->no_samples) * uint64_t(frame->no_channels) * 4 > kMaxAudioBytes)
        return;
    std::lock_guard<std::mutex> sendLock(m_audioMutex);
    if (m_clockAudio && (!m_clockVideo || steadyUs() - m_lastVideoSendUs > 1000000))
        pace(int64_t(frame->no_samples) * 1000000 / frame->sample_rate, &m_nextAudioUs);
    AudioMsg msg;
    msg.sampleRate = frame->sample_rate;
    msg.channels = frame->no_channels;
    msg.samples = frame->no_samples;
    msg.timestamp = realtime100ns();
    msg.timecode =
        frame->timecode == NDIlib_send_timecode_synthesize ? msg.timestamp : frame->timecode;
    int stride =
        frame->channel_stride_in_bytes > 0 ? frame->channel_stride_in_bytes : frame->no_samples * 4;
    Packet packet = encodeAudio(msg, frame->p_data, stride);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &c : m_connTally)
        if (c.first->bandwidth() != NDIlib_recv_bandwidth_metadata_only)
            c.first->queue(packet, false);
}

void Sender::sendMetadata(const NDIlib_metadata_frame_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    size_t len = frame->length > 0 ? strnlen(frame->p_data, size_t(frame->length))
                                   : strnlen(frame->p_data, kMaxTextBytes + 1);
    if (len > kMaxTextBytes)
        return;
    Packet packet = encodeText(MsgType::Metadata, frame->timecode, std::string(frame->p_data, len));
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &c : m_connTally)
        c.first->queue(packet, false);
}

NDIlib_frame_type_e Sender::capture(NDIlib_metadata_frame_t *frame, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return !m_metadataIn.empty() || m_stopping; }) ||
        m_metadataIn.empty())
        return NDIlib_frame_type_none;
    if (!frame)
        return NDIlib_frame_type_none;
    TextMsg text = std::move(m_metadataIn.front());
    m_metadataIn.pop_front();
    char *copy = new char[text.text.size() + 1];
    std::memcpy(copy, text.text.c_str(), text.text.size() + 1);
    m_stringsOut.insert(copy);
    *frame = NDIlib_metadata_frame_t{};
    frame->length = int(text.text.size() + 1);
    frame->timecode = text.timecode;
    frame->p_data = copy;
    return NDIlib_frame_type_metadata;
}

void Sender::freeMetadata(const NDIlib_metadata_frame_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_stringsOut.find(frame->p_data);
    if (it == m_stringsOut.end())
        return;
    delete[] * it;
    m_stringsOut.erase(it);
}

bool Sender::getTally(NDIlib_tally_t *tally, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [&] { return m_tallyChanged || m_stopping; });
    if (tally)
        *tally = m_tally;
    bool changed = m_tallyChanged;
    m_tallyChanged = false;
    return changed;
}

int Sender::connections(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [&] { return !m_connTally.empty() || m_stopping; });
    return int(m_connTally.size());
}

void Sender::clearConnectionMetadata()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connMeta.clear();
    Packet packet = encodeText(MsgType::ConnMeta, NDIlib_send_timecode_synthesize, m_connMeta);
    for (auto &c : m_connTally)
        c.first->queue(packet, false);
}

void Sender::addConnectionMetadata(const NDIlib_metadata_frame_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    size_t len = frame->length > 0 ? strnlen(frame->p_data, size_t(frame->length))
                                   : strnlen(frame->p_data, kMaxTextBytes + 1);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_connMeta.size() + len > kMaxTextBytes)
        return;
    m_connMeta.append(frame->p_data, len);
    Packet packet = encodeText(MsgType::ConnMeta, NDIlib_send_timecode_synthesize, m_connMeta);
    for (auto &c : m_connTally)
        c.first->queue(packet, false);
}

} // namespace drndi
