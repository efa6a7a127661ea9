#include "Probe.h"

#include "AudioPeakMeter.h"
#include "TestPattern.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds)
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

uint32_t msUntil(Clock::time_point deadline, uint32_t cap)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return uint32_t(std::clamp<long long>(left, 0, cap));
}

void line(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string oneLine(const char *text, int length)
{
    std::string s = length > 0 ? std::string(text, strnlen(text, size_t(length))) : text;
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

std::string fourccText(uint32_t f)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = char((f >> (8 * i)) & 0xff);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

// Current sources of a finder as name -> address.
std::map<std::string, std::string> currentSources(const NdiLibrary &lib, NDIlib_find_instance_t f)
{
    std::map<std::string, std::string> out;
    uint32_t count = 0;
    const NDIlib_source_t *sources = lib->find_get_current_sources(f, &count);
    for (uint32_t i = 0; sources && i < count; ++i) {
        if (sources[i].p_ndi_name && *sources[i].p_ndi_name)
            out[sources[i].p_ndi_name] = sources[i].p_url_address ? sources[i].p_url_address : "";
    }
    return out;
}

} // namespace

NdiFinder Probe::makeFinder() const
{
    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    settings.p_groups = m_options.groups.empty() ? nullptr : m_options.groups.c_str();
    settings.p_extra_ips = m_options.extraIps.empty() ? nullptr : m_options.extraIps.c_str();
    return makeNdiFinder(m_lib, &settings);
}

int Probe::list()
{
    NdiFinder finder = makeFinder();
    if (!finder) {
        std::fprintf(stderr, "ndi-probe: the runtime refused to create a finder\n");
        return 1;
    }
    const auto deadline = after(m_options.listSeconds());
    std::map<std::string, std::string> shown;
    bool found = false;
    while (!m_stop) {
        m_lib->find_wait_for_sources(finder.get(), msUntil(deadline, 100));
        const auto now = currentSources(m_lib, finder.get());
        if (m_options.watch) {
            for (const auto &[name, address] : shown) {
                if (!now.count(name) || now.at(name) != address)
                    line("-" + name + "\t" + address);
            }
            for (const auto &[name, address] : now) {
                if (!shown.count(name) || shown.at(name) != address)
                    line("+" + name + "\t" + address);
            }
        }
        shown = now;
        if (!m_options.until.empty()) {
            found = std::any_of(shown.begin(), shown.end(), [&](const auto &s) {
                return sourceNameMatches(s.first, m_options.until);
            });
            if (found)
                break;
        }
        if (Clock::now() >= deadline)
            break;
    }
    if (!m_options.watch) {
        for (const auto &[name, address] : shown)
            line(name + "\t" + address);
    }
    return m_options.until.empty() || found ? 0 : 1;
}

int Probe::receive()
{
    // Find the source first: the receiver needs its address.
    NdiFinder finder = makeFinder();
    if (!finder) {
        std::fprintf(stderr, "ndi-probe: the runtime refused to create a finder\n");
        return 1;
    }
    std::string name, address;
    const auto findDeadline = after(m_options.findSeconds);
    while (!m_stop && name.empty()) {
        m_lib->find_wait_for_sources(finder.get(), msUntil(findDeadline, 100));
        for (const auto &[n, a] : currentSources(m_lib, finder.get())) {
            if (sourceNameMatches(n, m_options.recvName)) {
                name = n;
                address = a;
            }
        }
        if (Clock::now() >= findDeadline)
            break;
    }
    finder.reset();
    if (name.empty()) {
        line("source_found=0");
        std::fprintf(stderr, "ndi-probe: source \"%s\" not found within %g s\n",
                     m_options.recvName.c_str(), m_options.findSeconds);
        return 1;
    }
    line("source=" + name);
    line("address=" + address);

    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = name.c_str();
    settings.source_to_connect_to.p_url_address = address.c_str();
    settings.color_format = NDIlib_recv_color_format_fastest;
    settings.bandwidth = m_options.low            ? NDIlib_recv_bandwidth_lowest
                         : m_options.audioOnly    ? NDIlib_recv_bandwidth_audio_only
                         : m_options.metadataOnly ? NDIlib_recv_bandwidth_metadata_only
                                                  : NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = "ndi-probe";
    NdiReceiver receiver = makeNdiReceiver(m_lib, &settings);
    if (!receiver) {
        std::fprintf(stderr, "ndi-probe: the runtime refused to create a receiver\n");
        return 1;
    }
    if (m_options.setTally) {
        NDIlib_tally_t tally;
        tally.on_program = m_options.tallyProgram;
        tally.on_preview = m_options.tallyPreview;
        m_lib->recv_set_tally(receiver.get(), &tally);
    }

    struct Video
    {
        int xres = 0, yres = 0, fpsN = 0, fpsD = 0;
        uint32_t fourcc = 0;
        long long frames = 0;
        long long firstCounter = -1, lastCounter = -1, gaps = 0;
        int barsOk = -1; // -1 not checked, 0 bad, 1 good
        Clock::time_point first, last;
    } video;
    AudioPeakMeter audio;
    int audioRate = 0;
    int statusChanges = 0;
    bool connected = false;
    bool metadataSent = false, metadataFailed = false;
    std::vector<std::string> metadata;
    std::set<std::string> metadataSeen;

    const auto deadline = after(m_options.recvSeconds());
    while (!m_stop && Clock::now() < deadline) {
        NDIlib_video_frame_v2_t v;
        NDIlib_audio_frame_v2_t a;
        NDIlib_metadata_frame_t m;
        const NDIlib_frame_type_e type =
            m_lib->recv_capture_v2(receiver.get(), &v, &a, &m, msUntil(deadline, 100));
        if (!connected && m_lib->recv_get_no_connections(receiver.get()) > 0)
            connected = true;
        if (connected && !metadataSent && !m_options.sendMetadata.empty()) {
            metadataSent = true;
            for (const std::string &text : m_options.sendMetadata) {
                std::string copy = text;
                NDIlib_metadata_frame_t out;
                out.p_data = copy.data();
                out.length = int(copy.size() + 1);
                if (!m_lib->recv_send_metadata(receiver.get(), &out))
                    metadataFailed = true;
            }
        }
        switch (type) {
        case NDIlib_frame_type_video: {
            const auto now = Clock::now();
            if (video.frames == 0)
                video.first = now;
            video.last = now;
            ++video.frames;
            video.xres = v.xres;
            video.yres = v.yres;
            video.fpsN = v.frame_rate_N;
            video.fpsD = v.frame_rate_D;
            video.fourcc = v.FourCC;
            if (v.FourCC == NDIlib_FourCC_video_type_UYVY && v.p_data) {
                const long long counter =
                    TestPattern::readCounter(v.p_data, v.xres, v.yres, v.line_stride_in_bytes);
                if (counter >= 0) {
                    if (video.firstCounter < 0)
                        video.firstCounter = counter;
                    else if (counter != video.lastCounter + 1)
                        ++video.gaps;
                    video.lastCounter = counter;
                }
                if (video.barsOk != 0)
                    video.barsOk =
                        TestPattern::checkBars(v.p_data, v.xres, v.yres, v.line_stride_in_bytes)
                            ? 1
                            : 0;
            }
            m_lib->recv_free_video_v2(receiver.get(), &v);
            break;
        }
        case NDIlib_frame_type_audio:
            audio.add(a.p_data, a.no_channels, a.no_samples, a.channel_stride_in_bytes);
            audioRate = a.sample_rate;
            m_lib->recv_free_audio_v2(receiver.get(), &a);
            break;
        case NDIlib_frame_type_metadata: {
            const std::string text = m.p_data ? oneLine(m.p_data, m.length) : std::string();
            m_lib->recv_free_metadata(receiver.get(), &m);
            if (metadataSeen.insert(text).second && metadata.size() < 64)
                metadata.push_back(text);
            break;
        }
        case NDIlib_frame_type_status_change:
            ++statusChanges;
            break;
        default:
            break;
        }
    }

    line(std::string("connected=") + (connected ? "1" : "0"));
    line("xres=" + std::to_string(video.xres));
    line("yres=" + std::to_string(video.yres));
    line("fourcc=" + (video.frames ? fourccText(video.fourcc) : std::string()));
    line("fps=" + (video.frames ? std::to_string(video.fpsN) + "/" + std::to_string(video.fpsD)
                                : std::string()));
    line("video_frames=" + std::to_string(video.frames));
    double measured = 0;
    if (video.frames > 1) {
        const double span = std::chrono::duration<double>(video.last - video.first).count();
        measured = span > 0 ? double(video.frames - 1) / span : 0;
    }
    char measuredText[64];
    std::snprintf(measuredText, sizeof measuredText, "measured_fps=%.2f", measured);
    line(measuredText);
    line("first_counter=" + std::to_string(video.firstCounter));
    line("last_counter=" + std::to_string(video.lastCounter));
    line("counter_gaps=" + std::to_string(video.gaps));
    line(std::string("bars=") + (video.barsOk < 0 ? "none" : video.barsOk ? "ok" : "bad"));
    line("audio_channels=" + std::to_string(audio.channels()));
    line("audio_sample_rate=" + std::to_string(audioRate));
    line("audio_samples=" + std::to_string(audio.samples()));
    line("audio_peak_db=" + audio.peakDbList());
    std::string webUrl;
    if (const char *url = m_lib->recv_get_web_control(receiver.get())) {
        webUrl = url;
        m_lib->recv_free_string(receiver.get(), url);
    }
    line("web_url=" + webUrl);
    line(std::string("ptz=") + (m_lib->recv_ptz_is_supported(receiver.get()) ? "1" : "0"));
    line("status_changes=" + std::to_string(statusChanges));
    for (const std::string &text : metadata)
        line("metadata=" + text);
    if (!m_options.sendMetadata.empty())
        line(std::string("metadata_sent=") + (metadataSent && !metadataFailed ? "1" : "0"));
    return connected ? 0 : 1;
}
