#include "TestSource.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>

namespace {

std::string oneLine(const char *text, int length)
{
    std::string s = length > 0 ? std::string(text, strnlen(text, size_t(length))) : text;
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

std::string formatLevel(double dbfs)
{
    if (!std::isfinite(dbfs))
        return "silence";
    std::ostringstream o;
    o << dbfs;
    return o.str();
}

} // namespace

TestSource::TestSource(const NdiLibrary &lib, const TestSourceOptions &options, std::string name)
    : m_lib(lib), m_options(options), m_name(std::move(name)), m_fullName(m_name),
      m_tone(options.toneHz, options.levelDbfs)
{
    if (options.maker)
        m_maker.emplace(options.makerServer, options.makerBitrateKbps, options.makerSync);
}

TestSource::~TestSource()
{
    stop();
}

void TestSource::print(const std::string &line)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool TestSource::start()
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = m_name.c_str();
    settings.p_groups = m_options.groups.empty() ? nullptr : m_options.groups.c_str();
    settings.clock_video = false; // we pace frames ourselves
    settings.clock_audio = false;
    m_sender = makeNdiSender(m_lib, &settings);
    if (!m_sender) {
        print("error \"" + m_name + "\" the runtime refused to create the sender");
        return false;
    }
    std::string address;
    if (const NDIlib_source_t *src = m_lib->send_get_source_name(m_sender.get())) {
        if (src->p_ndi_name)
            m_fullName = src->p_ndi_name;
        if (src->p_url_address)
            address = src->p_url_address;
    }
    if (!m_options.webUrl.empty() || m_options.ptz) {
        std::string caps = "<ndi_capabilities";
        if (!m_options.webUrl.empty())
            caps += " web_control=\"" + MakerMetadata::escape(m_options.webUrl) + "\"";
        if (m_options.ptz)
            caps += " ntk_ptz=\"true\"";
        caps += "/>";
        NDIlib_metadata_frame_t meta;
        meta.p_data = caps.data();
        meta.length = int(caps.size() + 1);
        m_lib->send_add_connection_metadata(m_sender.get(), &meta);
    }
    if (m_options.video)
        m_pattern.emplace(m_options.xres, m_options.yres);

    std::ostringstream line;
    line << "started " << quotedName() << " address=" << address;
    if (m_options.video)
        line << " video=" << m_options.xres << 'x' << m_options.yres;
    line << " fps=" << m_options.fpsN << '/' << m_options.fpsD;
    if (m_options.audio) {
        line << " audio=" << m_tone.channels() << "x" << ToneGenerator::sampleRate << " tone=";
        for (size_t c = 0; c < m_options.toneHz.size(); ++c)
            line << (c ? "," : "") << m_options.toneHz[c];
        line << " level=" << formatLevel(m_options.levelDbfs);
    }
    line << " groups=" << (m_options.groups.empty() ? "default" : m_options.groups);
    if (m_maker)
        line << " maker=1";
    print(line.str());

    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void TestSource::stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
        m_sender.reset();
        print("stopped " + quotedName() + " frames=" + std::to_string(m_framesSent));
    }
    m_sender.reset();
}

void TestSource::run()
{
    using namespace std::chrono;
    const Clock::time_point start = Clock::now();
    m_nextMaker = start;
    // Frame f is due at start + f * D / N seconds (computed from f, so no drift).
    const auto due = [&](int64_t f) {
        return start + nanoseconds(f * 1000000000LL * m_options.fpsD / m_options.fpsN);
    };
    const int64_t period = 1000000000LL * m_options.fpsD / m_options.fpsN;
    int64_t frame = 0;
    Clock::time_point nextLate = start + std::chrono::seconds(1);
    while (!m_stop) {
        const Clock::time_point deadline = due(frame);
        for (;;) {
            pollEvents();
            const Clock::time_point now = Clock::now();
            if (now >= deadline || m_stop)
                break;
            std::this_thread::sleep_until(std::min(deadline, now + milliseconds(10)));
        }
        if (m_stop)
            break;
        if (m_options.lateMs > 0 && deadline >= nextLate) {
            std::this_thread::sleep_for(milliseconds(m_options.lateMs));
            nextLate += seconds(1);
        }
        sendFrame(frame, duration<double>(Clock::now() - start).count());
        // After a stall of more than a few frames, skip the missed slots: the counter then
        // shows the gap, and the rate does not race to catch up.
        const int64_t behind = (Clock::now() - start).count() / period - frame;
        frame += behind > 5 ? behind : 1;
    }
}

void TestSource::pollEvents()
{
    NDIlib_send_instance_t sender = m_sender.get();
    const int connections = m_lib->send_get_no_connections(sender, 0);
    if (connections != m_connections) {
        const bool more = connections > m_connections;
        m_connections = connections;
        print("connections " + quotedName() + " " + std::to_string(connections));
        if (more && m_maker)
            m_nextMaker = Clock::now(); // a new receiver gets the status at once
    }
    NDIlib_tally_t tally;
    if (m_lib->send_get_tally(sender, &tally, 0) &&
        (tally.on_program != m_tally.on_program || tally.on_preview != m_tally.on_preview)) {
        m_tally = tally;
        print("tally " + quotedName() + " program=" + (tally.on_program ? "1" : "0") +
              " preview=" + (tally.on_preview ? "1" : "0"));
    }
    for (int i = 0; i < 16; ++i) { // bounded, so a flood cannot starve the frames
        NDIlib_metadata_frame_t meta;
        if (m_lib->send_capture(sender, &meta, 0) != NDIlib_frame_type_metadata)
            break;
        const std::string text = meta.p_data ? oneLine(meta.p_data, meta.length) : std::string();
        m_lib->send_free_metadata(sender, &meta);
        print("metadata " + quotedName() + " " + text);
        if (m_maker) {
            if (auto server = m_maker->handle(text)) {
                print("ntp-set " + quotedName() + " server=" + *server);
                m_nextMaker = Clock::now();
            }
        }
    }
    if (m_maker && Clock::now() >= m_nextMaker) {
        sendMaker();
        m_nextMaker = Clock::now() + std::chrono::milliseconds(m_options.makerIntervalMs);
    }
}

void TestSource::sendMaker()
{
    std::string text = m_maker->element();
    NDIlib_metadata_frame_t meta;
    meta.p_data = text.data();
    meta.length = int(text.size() + 1);
    m_lib->send_send_metadata(m_sender.get(), &meta);
}

void TestSource::setEffect(int effect, bool on)
{
    if (effect >= 0 && effect < TestSourceOptions::EffectCount)
        m_forced[size_t(effect)] = on ? 1 : 0;
}

void TestSource::sendFrame(int64_t frame, double elapsedSeconds)
{
    for (int e = 0; e < TestSourceOptions::EffectCount; ++e) {
        const int forced = m_forced[size_t(e)];
        const bool on =
            forced >= 0 ? forced == 1 : m_options.effects[size_t(e)].covers(elapsedSeconds);
        if (on != m_effectOn[size_t(e)]) {
            m_effectOn[size_t(e)] = on;
            print("effect " + quotedName() + " " + TestSourceOptions::effectName(e) + "=" +
                  (on ? "1" : "0"));
        }
    }
    const bool black = m_effectOn[TestSourceOptions::Black];
    const bool freeze = m_effectOn[TestSourceOptions::Freeze];
    const bool mute = m_effectOn[TestSourceOptions::Mute];
    const bool pause = m_effectOn[TestSourceOptions::Pause];
    // Timecode: the frame's time since the start in 100 ns; timestamp: the wall clock.
    const int64_t timecode = frame * 10000000LL * m_options.fpsD / m_options.fpsN;
    const int64_t timestamp = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count() /
                              100;
    if (m_options.audio) {
        const int samples = ToneGenerator::samplesForFrame(frame, m_options.fpsN, m_options.fpsD);
        m_tone.next(samples, m_audio);
        if (mute)
            std::fill(m_audio.begin(), m_audio.end(), 0.0f);
        NDIlib_audio_frame_v2_t audio;
        audio.sample_rate = ToneGenerator::sampleRate;
        audio.no_channels = m_tone.channels();
        audio.no_samples = samples;
        audio.timecode = timecode;
        audio.p_data = m_audio.data();
        audio.channel_stride_in_bytes = samples * int(sizeof(float));
        audio.timestamp = timestamp;
        m_lib->send_send_audio_v2(m_sender.get(), &audio);
    }
    if (m_pattern && !pause) {
        if (!freeze)
            m_pattern->draw(frame);
        if (black && m_black.empty()) {
            m_black.resize(size_t(m_pattern->strideBytes()) * size_t(m_pattern->yres()));
            for (size_t i = 0; i < m_black.size(); i += 2) {
                m_black[i] = 128; // U or V
                m_black[i + 1] = 16;
            }
        }
        NDIlib_video_frame_v2_t video;
        video.xres = m_pattern->xres();
        video.yres = m_pattern->yres();
        video.FourCC = NDIlib_FourCC_video_type_UYVY;
        video.frame_rate_N = m_options.fpsN;
        video.frame_rate_D = m_options.fpsD;
        video.picture_aspect_ratio = float(video.xres) / float(video.yres);
        video.frame_format_type = NDIlib_frame_format_type_progressive;
        video.timecode = timecode;
        video.p_data = black ? m_black.data() : const_cast<uint8_t *>(m_pattern->data());
        video.line_stride_in_bytes = m_pattern->strideBytes();
        video.timestamp = timestamp;
        // Synchronous send: the runtime is done with the buffer when it returns, so the
        // next draw may reuse it.
        m_lib->send_send_video_v2(m_sender.get(), &video);
    }
    ++m_framesSent;
}
