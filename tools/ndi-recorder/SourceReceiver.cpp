#include "SourceReceiver.h"

#include "ProtocolOutput.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

// This machine's real-time clock in 100 ns, the unit of NDI timestamps.
int64_t realtime100ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() /
           100;
}

bool nameMatches(const std::string &fullName, const std::string &wanted)
{
    if (fullName == wanted)
        return true;
    // "HOST (Source)": host names hold no spaces, so the first " (" ends the host part.
    const size_t open = fullName.find(" (");
    if (open == std::string::npos || fullName.back() != ')')
        return false;
    return fullName.substr(open + 2, fullName.size() - open - 3) == wanted;
}

long long msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

} // namespace

SourceReceiver::SourceReceiver(const NdiLibrary &lib, const RecorderOptions &options,
                               FrameQueue &queue, const std::atomic<bool> &recording)
    : m_lib(lib), m_options(options), m_queue(queue), m_recording(recording)
{
}

SourceReceiver::~SourceReceiver()
{
    stop();
}

void SourceReceiver::start()
{
    m_thread = std::thread([this] { run(); });
}

void SourceReceiver::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::string SourceReceiver::sourceName() const
{
    std::lock_guard lock(m_mutex);
    return m_name;
}

std::string SourceReceiver::sourceAddress() const
{
    std::lock_guard lock(m_mutex);
    return m_address;
}

bool SourceReceiver::find()
{
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(int64_t(m_options.timeoutS * 1000));
    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    NdiFinder finder = makeNdiFinder(m_lib, &settings);
    if (!finder) {
        ProtocolOutput::progress("the NDI runtime refused to create a finder");
        return false;
    }
    while (!m_stop) {
        m_lib->find_wait_for_sources(finder.get(), 100);
        uint32_t count = 0;
        const NDIlib_source_t *sources = m_lib->find_get_current_sources(finder.get(), &count);
        for (uint32_t i = 0; sources && i < count; ++i) {
            if (sources[i].p_ndi_name && nameMatches(sources[i].p_ndi_name, m_options.source)) {
                std::lock_guard lock(m_mutex);
                m_name = sources[i].p_ndi_name;
                m_address = sources[i].p_url_address ? sources[i].p_url_address : "";
                return true;
            }
        }
        if (m_options.timeoutS > 0 && Clock::now() >= deadline)
            return false;
    }
    return false;
}

int64_t SourceReceiver::mediaTime(int64_t timestamp, int64_t now)
{
    if (timestamp == NDIlib_recv_timestamp_undefined || timestamp <= 0)
        return now;
    constexpr int64_t kJump = 50000000; // 5 s: the sender's clock was set, not drifting
    const int64_t mapped = timestamp - m_anchorTimestamp + m_anchorLocal;
    if (!m_anchored || mapped - now > kJump || now - mapped > kJump) {
        m_anchored = true;
        m_anchorTimestamp = timestamp;
        m_anchorLocal = now;
        return now;
    }
    return mapped;
}

void SourceReceiver::run()
{
    const auto started = Clock::now();
    if (m_options.address.empty()) {
        ProtocolOutput::progress("looking for the NDI source \"" + m_options.source + "\"");
        if (!find()) {
            if (!m_stop)
                m_state = State::NotFound;
            return;
        }
    } else {
        std::lock_guard lock(m_mutex);
        m_name = m_options.source;
        m_address = m_options.address;
    }
    const std::string name = sourceName(), address = sourceAddress();
    ProtocolOutput::progress("connecting to \"" + name + "\" at " + address);

    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = name.c_str();
    settings.source_to_connect_to.p_url_address = address.empty() ? nullptr : address.c_str();
    settings.color_format = NDIlib_recv_color_format_fastest;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = false;
    settings.p_ndi_recv_name = "ndi-recorder";
    m_receiver = makeNdiReceiver(m_lib, &settings);
    if (!m_receiver) {
        ProtocolOutput::progress("the NDI runtime refused to create a receiver");
        m_state = State::NotFound;
        return;
    }
    NDIlib_recv_instance_t recv = m_receiver.get();
    const NdiLibrary *lib = &m_lib;

    bool everConnected = false, lost = false;
    auto lastFrame = Clock::now();
    auto lostAt = Clock::now();
    while (!m_stop) {
        NDIlib_video_frame_v2_t v;
        NDIlib_audio_frame_v2_t a;
        const NDIlib_frame_type_e type = m_lib->recv_capture_v2(recv, &v, &a, nullptr, 100);
        const bool media = type == NDIlib_frame_type_video || type == NDIlib_frame_type_audio;
        if (media) {
            if (!everConnected) {
                everConnected = true;
                m_state = State::Connected;
                ProtocolOutput::progress("receiving \"" + name + "\"");
            }
            if (lost) {
                lost = false;
                m_state = State::Connected;
                const long long gap = msSince(lostAt);
                ++m_gaps;
                m_gapMs += gap;
                ProtocolOutput::progress("the source is back after " + std::to_string(gap) +
                                         " ms away");
            }
            lastFrame = Clock::now();
        }
        if (type == NDIlib_frame_type_video) {
            auto frame = std::shared_ptr<const NDIlib_video_frame_v2_t>(
                new NDIlib_video_frame_v2_t(v), [lib, recv](const NDIlib_video_frame_v2_t *f) {
                    lib->api().recv_free_video_v2(recv, f);
                    delete f;
                });
            if (m_recording) {
                auto item = std::make_shared<MediaItem>();
                item->kind = MediaItem::Kind::Video;
                item->mediaTime = mediaTime(v.timestamp, realtime100ns());
                const int stride = v.line_stride_in_bytes > 0 ? v.line_stride_in_bytes : v.xres * 2;
                item->bytes = size_t(stride) * size_t(v.yres > 0 ? v.yres : 0);
                item->video = std::move(frame);
                ++m_videoReceived;
                if (!m_queue.push(std::move(item)))
                    ++m_videoRefused;
            } else {
                mediaTime(v.timestamp, realtime100ns());
            }
        } else if (type == NDIlib_frame_type_audio) {
            auto block = std::shared_ptr<const NDIlib_audio_frame_v2_t>(
                new NDIlib_audio_frame_v2_t(a), [lib, recv](const NDIlib_audio_frame_v2_t *f) {
                    lib->api().recv_free_audio_v2(recv, f);
                    delete f;
                });
            if (m_recording && a.no_samples > 0 && a.no_channels > 0 && a.sample_rate > 0) {
                auto item = std::make_shared<MediaItem>();
                item->kind = MediaItem::Kind::Audio;
                item->mediaTime = mediaTime(a.timestamp, realtime100ns());
                item->bytes = size_t(a.no_samples) * size_t(a.no_channels) * sizeof(float);
                item->audio = std::move(block);
                m_queue.push(std::move(item));
            } else {
                mediaTime(a.timestamp, realtime100ns());
            }
        } else if (type == NDIlib_frame_type_error ||
                   (everConnected && !lost && msSince(lastFrame) > kLostAfterMs)) {
            if (everConnected && !lost) {
                lost = true;
                lostAt = lastFrame;
                m_anchored = false;
                m_state = State::Lost;
                ProtocolOutput::progress("the source is gone; waiting for it to return");
            }
        }
        if (!everConnected && m_options.timeoutS > 0 &&
            msSince(started) > int64_t(m_options.timeoutS * 1000)) {
            m_state = State::NotFound;
            return;
        }
    }
}
