#include "Recorder.h"

#include "ProtocolOutput.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTicks = 1e7; // media time units per second
constexpr size_t kMaxPendingAudio = 400;
// The first pictures wait for the sound to show its format: up to 8 pictures (sources send
// sound in blocks of up to about 100 ms), or 2 s when nothing else comes (a starved sender
// may pause that long between two pictures).
constexpr size_t kMaxHeld = 8;
constexpr int kHeldMs = 2000;

long long msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", s);
    return text;
}

} // namespace

Recorder::Recorder(const RecorderOptions &options, FrameQueue &queue, DiskWriter &writer,
                   std::function<std::pair<std::string, std::string>()> sourceInfo,
                   std::function<long long()> refusedFrames)
    : m_options(options), m_queue(queue), m_writer(writer), m_sourceInfo(std::move(sourceInfo)),
      m_refused(std::move(refusedFrames)), m_nextPath(options.output)
{
}

void Recorder::run()
{
    while (!m_done) {
        if (MediaItemPtr item = m_queue.pop(std::chrono::milliseconds(40))) {
            switch (item->kind) {
            case MediaItem::Kind::Video:
                onVideo(item);
                break;
            case MediaItem::Kind::Audio:
                onAudio(item);
                break;
            case MediaItem::Kind::Chop:
                onChop(item->path);
                break;
            case MediaItem::Kind::Stop:
                stop();
                break;
            }
        }
        if (!m_done)
            tick();
    }
}

Recorder::Status Recorder::status()
{
    std::lock_guard lock(m_statusMutex);
    Status s = m_status;
    for (size_t c = 0; c < 2; ++c) {
        s.vuDb[c] = m_peak[c] > 1e-5f ? 20.0 * std::log10(double(m_peak[c])) : -100.0;
        m_peak[c] = 0.0f;
    }
    return s;
}

std::string Recorder::fatalCode() const
{
    std::lock_guard lock(m_statusMutex);
    return m_fatalCode;
}

std::string Recorder::lastPath() const
{
    std::lock_guard lock(m_statusMutex);
    return m_lastPath;
}

double Recorder::period() const
{
    const MovFile::Settings &s = m_current.file->settings();
    return kTicks * s.fpsD / s.fpsN;
}

int64_t Recorder::timecodeFrames(const NDIlib_video_frame_v2_t &frame) const
{
    int64_t tc = frame.timecode;
    if (tc == NDIlib_send_timecode_synthesize || tc < 0) {
        // No timecode from the source: the time of day here.
        const std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        tc = int64_t((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 10000000;
    }
    const int fpsN = frame.frame_rate_N > 0 ? frame.frame_rate_N : 30000;
    const int fpsD = frame.frame_rate_D > 0 ? frame.frame_rate_D : 1001;
    return std::llround(double(tc) * fpsN / (double(fpsD) * kTicks));
}

MovFile::Settings Recorder::settingsFor(const NDIlib_video_frame_v2_t &frame) const
{
    MovFile::Settings s;
    s.codec = m_options.codec;
    s.cfr = m_options.cfr;
    s.width = frame.xres & ~1;
    s.height = frame.yres & ~1;
    const bool rateOk = frame.frame_rate_N > 0 && frame.frame_rate_D > 0 &&
                        frame.frame_rate_N / frame.frame_rate_D <= 240;
    s.fpsN = rateOk ? frame.frame_rate_N : 30000;
    s.fpsD = rateOk ? frame.frame_rate_D : 1001;
    s.audioRate = m_audioRate;
    s.audioChannels = m_audioChannels;
    s.timecodeFrame = timecodeFrames(frame);
    std::tie(s.sourceName, s.sourceAddress) = m_sourceInfo();
    return s;
}

void Recorder::publish()
{
    std::lock_guard lock(m_statusMutex);
    Status &s = m_status;
    long long frames = m_framesBefore, repeated = m_repeatedBefore;
    for (const Part *p : {&m_closing, &m_current}) {
        if (p->file) {
            frames += p->file->videoFrames();
            repeated += p->repeated;
        }
    }
    s.fileOpen = m_current.file != nullptr;
    s.frames = frames;
    s.repeated = repeated;
    s.dropped = repeated + m_late + m_refused();
    if (m_current.file) {
        s.path = m_current.file->path();
        s.fileBytes = m_current.file->bytes();
        const int64_t n = m_current.file->videoFrames();
        s.timecode = m_current.file->timecodeAt(n > 0 ? n - 1 : 0);
        m_lastPath = s.path;
    }
}

void Recorder::fatal(const std::string &code, const std::string &text)
{
    if (m_done)
        return;
    m_done = true;
    {
        std::lock_guard lock(m_statusMutex);
        m_fatalCode = code;
    }
    ProtocolOutput::element("record_error" + ProtocolOutput::attr("code", code) +
                            ProtocolOutput::attr("error", text));
    ProtocolOutput::progress("recording ends: " + text);
    // What is on disk stays playable; finishing adds what still fits.
    for (Part *p : {&m_closing, &m_current}) {
        if (p->file)
            finishPart(*p);
        *p = Part{};
    }
    publish();
}

bool Recorder::check(bool ok, Part &part)
{
    if (ok)
        return true;
    const DiskWriter::Error e = m_writer.error();
    if (e != DiskWriter::Error::None)
        fatal(DiskWriter::errorCode(e), m_writer.errorText());
    else
        fatal("cannot_write", part.file ? part.file->error() : "cannot write");
    return false;
}

void Recorder::finishPart(Part &part)
{
    MovFile &f = *part.file;
    const bool ok = f.finish();
    m_framesBefore += f.videoFrames();
    m_repeatedBefore += part.repeated;
    const MovFile::Settings &s = f.settings();
    ProtocolOutput::progress(
        "closed " + f.path() + ": " + std::to_string(f.videoFrames()) + " pictures (" +
        std::to_string(part.repeated) + " repeated), " +
        seconds(double(f.videoFrames()) * s.fpsD / s.fpsN) + " s, " +
        (s.audioRate ? seconds(double(f.audioSamples()) / s.audioRate) + " s of sound, " : "") +
        std::to_string(f.bytes()) + " bytes");
    {
        std::lock_guard lock(m_statusMutex);
        m_lastPath = f.path();
    }
    const std::string error = f.error();
    part.file.reset();
    if (!ok && !m_done) {
        const DiskWriter::Error e = m_writer.error();
        fatal(e != DiskWriter::Error::None ? DiskWriter::errorCode(e) : "cannot_write",
              e != DiskWriter::Error::None ? m_writer.errorText() : error);
    }
}

void Recorder::finishClosing()
{
    if (m_closing.file)
        finishPart(m_closing);
    m_closing = Part{};
}

bool Recorder::openFirst(const MediaItemPtr &first)
{
    const NDIlib_video_frame_v2_t &frame = *first->video;
    const MovFile::Settings settings = settingsFor(frame);
    std::string error;
    DiskWriter::Error kind = DiskWriter::Error::CannotWrite;
    std::unique_ptr<MovFile> file = MovFile::create(settings, m_writer, m_nextPath, &error, &kind);
    if (!file) {
        fatal(DiskWriter::errorCode(kind), error);
        return false;
    }
    m_current = Part{};
    m_current.file = std::move(file);
    m_current.start = first->mediaTime;
    m_started = true;
    ProtocolOutput::element("record_started" +
                            ProtocolOutput::attr("filename", m_current.file->path()) +
                            ProtocolOutput::attr("timecode", m_current.file->timecodeAt(0)));
    ProtocolOutput::progress(
        "recording \"" + settings.sourceName + "\" to " + m_current.file->path() + ": " +
        std::to_string(settings.width) + "x" + std::to_string(settings.height) + " at " +
        std::to_string(settings.fpsN) + "/" + std::to_string(settings.fpsD) + " fps, " +
        RecorderOptions::codecName(settings.codec) +
        (settings.audioRate ? ", sound " + std::to_string(settings.audioChannels) + " x " +
                                  std::to_string(settings.audioRate) + " Hz"
                            : ", no sound") +
        (settings.cfr ? ", constant rate" : ", rate as received"));
    std::deque<MediaItemPtr> pending;
    pending.swap(m_pendingAudio);
    for (const MediaItemPtr &a : pending)
        routeAudio(a);
    return !m_done;
}

bool Recorder::splitDue(int64_t mediaTime) const
{
    if (!m_chops.empty() || !m_current.file || m_current.file->videoFrames() == 0)
        return false;
    return (m_options.splitSizeMiB > 0 && m_current.file->bytes() >= m_options.splitSizeMiB
                                                                         << 20) ||
           (m_options.splitTimeS > 0 &&
            double(mediaTime - m_current.start) >= m_options.splitTimeS * kTicks);
}

std::string Recorder::nextSplitName() const
{
    namespace fs = std::filesystem;
    const fs::path current(m_current.file->path());
    std::string stem = current.stem().string();
    const size_t dash = stem.find_last_of('-');
    long long n = 1;
    if (dash != std::string::npos && dash + 1 < stem.size() && dash + 10 > stem.size() &&
        std::all_of(stem.begin() + long(dash) + 1, stem.end(), ::isdigit)) {
        n = std::stoll(stem.substr(dash + 1));
        stem.resize(dash);
    }
    fs::path next = current;
    next.replace_filename(stem + "-" + std::to_string(n + 1) + current.extension().string());
    return next.string();
}

bool Recorder::split(const MediaItemPtr &frame, int64_t at, int64_t timecodeFrame)
{
    const std::string path = m_chops.front();
    m_chops.pop_front();
    std::string error;
    DiskWriter::Error kind = DiskWriter::Error::CannotWrite;
    MovFile::Settings settings = settingsFor(*frame->video);
    settings.timecodeFrame = timecodeFrame; // the timecode goes on from the old file
    std::unique_ptr<MovFile> file = MovFile::create(settings, m_writer, path, &error, &kind);
    if (!file) {
        if (m_writer.error() != DiskWriter::Error::None || kind == DiskWriter::Error::DiskFull) {
            fatal(DiskWriter::errorCode(kind), error);
            return false;
        }
        // The recording itself is fine: it goes on where it was.
        const std::string text = error + "; recording goes on in " + m_current.file->path();
        ProtocolOutput::element("record_error" + ProtocolOutput::attr("code", "cannot_write") +
                                ProtocolOutput::attr("error", text));
        ProtocolOutput::progress(text);
        return false;
    }
    finishClosing();
    m_closing = std::move(m_current);
    m_closing.end = at;
    m_closingSince = Clock::now();
    m_current = Part{};
    m_current.file = std::move(file);
    m_current.start = at;
    ProtocolOutput::element("record_chop_done" +
                            ProtocolOutput::attr("filename", m_current.file->path()));
    ProtocolOutput::progress("going on in " + m_current.file->path() + " from timecode " +
                             m_current.file->timecodeAt(0));
    std::deque<MediaItemPtr> pending;
    pending.swap(m_pendingAudio);
    for (const MediaItemPtr &a : pending)
        routeAudio(a);
    if (m_closing.file && !m_closing.file->hasAudio())
        finishClosing();
    return !m_done;
}

void Recorder::place(const MediaItemPtr &item)
{
    const NDIlib_video_frame_v2_t &frame = *item->video;
    const int64_t mt = item->mediaTime;
    if (!m_current.file && !openFirst(item))
        return;
    const bool firstOfFile = m_current.file->videoFrames() == 0;
    if (splitDue(mt))
        m_chops.push_back(nextSplitName());
    if (m_options.cfr) {
        int64_t slot = firstOfFile ? 0 : std::llround(double(mt - m_current.start) / period());
        if (slot < m_current.lastSlot) {
            ++m_late; // a picture for a slot already written (a burst after a stall)
            publish();
            return;
        }
        slot = std::max(slot, m_current.lastSlot + 1);
        Part &p = m_current;
        while (p.lastSlot + 1 < slot) {
            if (!check(p.file->repeatVideo(p.lastSlot + 1), p))
                return;
            ++p.lastSlot;
            ++p.repeated;
        }
        if (!m_chops.empty() && !firstOfFile &&
            split(item, p.start + std::llround(double(slot) * period()),
                  p.file->settings().timecodeFrame + p.file->videoFrames()))
            slot = 0;
        if (m_done)
            return;
        if (!check(p.file->writeVideo(frame, slot), p))
            return;
        p.lastSlot = slot;
    } else {
        const double tick = 1.0 / 120000 * kTicks;
        if (!firstOfFile && m_lastVideoMt != 0 && mt - m_lastVideoMt > period() * 1.5)
            m_late += std::llround(double(mt - m_lastVideoMt) / period()) - 1; // missing
        if (!m_chops.empty() && !firstOfFile)
            split(item, mt,
                  m_current.file->settings().timecodeFrame + m_current.file->videoFrames());
        if (m_done)
            return;
        Part &p = m_current;
        int64_t pts = std::llround(double(mt - p.start) / tick);
        pts = std::max(pts, p.lastSlot + 1);
        if (!check(p.file->writeVideo(frame, pts), p))
            return;
        p.lastSlot = pts;
    }
    m_lastVideoMt = mt;
    m_lastVideoArrival = item->arrival;
    publish();
}

void Recorder::fillStall()
{
    if (!m_options.cfr || !m_current.file || !m_current.file->hasPicture())
        return;
    const long long idleMs = msSince(m_lastVideoArrival);
    if (idleMs < kStallMs || m_queue.oldestAgeMs() >= kStallMs)
        return;
    const int64_t until = m_lastVideoMt + int64_t(idleMs - kStallMs) * 10000;
    const int64_t target = int64_t(std::floor(double(until - m_current.start) / period()));
    Part &p = m_current;
    bool any = false;
    while (p.lastSlot < target && !m_done) {
        if (!check(p.file->repeatVideo(p.lastSlot + 1), p))
            return;
        ++p.lastSlot;
        ++p.repeated;
        any = true;
    }
    if (any)
        publish();
}

void Recorder::onVideo(const MediaItemPtr &item)
{
    const NDIlib_video_frame_v2_t &f = *item->video;
    if (f.xres < 16 || f.yres < 16 || !f.p_data)
        return;
    if (!m_current.file) {
        if (m_held.empty())
            m_heldSince = Clock::now();
        m_held.push_back(item);
        if (m_audioRate == 0 && m_held.size() < kMaxHeld)
            return; // a moment for the sound to show its format
        flushHeld();
        return;
    }
    place(item);
}

void Recorder::flushHeld()
{
    std::deque<MediaItemPtr> held;
    held.swap(m_held);
    for (const MediaItemPtr &item : held) {
        if (m_done)
            return;
        place(item);
    }
}

void Recorder::onAudio(const MediaItemPtr &item)
{
    const NDIlib_audio_frame_v2_t &a = *item->audio;
    if (!m_current.file && m_audioRate == 0) {
        m_audioRate = a.sample_rate;
        m_audioChannels = std::min(a.no_channels, 64);
    }
    if (!m_current.file || !m_chops.empty()) {
        m_pendingAudio.push_back(item);
        if (!m_held.empty()) {
            flushHeld();
            return;
        }
        while (m_pendingAudio.size() > kMaxPendingAudio) {
            MediaItemPtr oldest = m_pendingAudio.front();
            m_pendingAudio.pop_front();
            if (m_current.file)
                routeAudio(oldest);
        }
        return;
    }
    routeAudio(item);
}

void Recorder::routeAudio(const MediaItemPtr &item)
{
    if (!m_current.file) {
        m_pendingAudio.push_back(item);
        return;
    }
    const NDIlib_audio_frame_v2_t &a = *item->audio;
    if (a.sample_rate != m_current.file->settings().audioRate) {
        if (!m_audioWarned && m_current.file->hasAudio())
            ProtocolOutput::progress("sound at " + std::to_string(a.sample_rate) +
                                     " Hz does not fit the file's rate; it is left out");
        m_audioWarned = true;
        return;
    }
    const int n = a.no_samples;
    int k = 0;
    if (m_closing.file) {
        k = int(std::clamp<long long>(
            std::llround(double(m_closing.end - item->mediaTime) * a.sample_rate / kTicks), 0, n));
        if (k > 0)
            writeAudio(m_closing, item, 0, k);
        if (k < n)
            finishClosing(); // its sound has reached the instant of the change
    }
    if (k < n && m_current.file)
        writeAudio(m_current, item, k, n);
}

void Recorder::writeAudio(Part &part, const MediaItemPtr &item, int from, int to)
{
    if (m_done || !part.file || !part.file->hasAudio())
        return;
    const NDIlib_audio_frame_v2_t &a = *item->audio;
    const int64_t position =
        std::llround(double(item->mediaTime - part.start) * a.sample_rate / kTicks) + from;
    if (!check(part.file->writeAudio(a, from, to - from, position), part))
        return;
    // Peaks for the level meter: the first two channels (mono shows on both).
    const auto *base = reinterpret_cast<const uint8_t *>(a.p_data);
    const int stride = a.channel_stride_in_bytes > 0 ? a.channel_stride_in_bytes
                                                     : a.no_samples * int(sizeof(float));
    std::array<float, 2> peak{{0.0f, 0.0f}};
    for (int c = 0; c < 2; ++c) {
        const int source = std::min(c, a.no_channels - 1);
        const auto *in = reinterpret_cast<const float *>(base + size_t(source) * stride);
        for (int i = from; i < to; ++i)
            peak[size_t(c)] = std::max(peak[size_t(c)], std::fabs(in[i]));
    }
    std::lock_guard lock(m_statusMutex);
    for (size_t c = 0; c < 2; ++c)
        m_peak[c] = std::max(m_peak[c], peak[c]);
}

void Recorder::onChop(const std::string &path)
{
    if (!m_current.file) {
        m_nextPath = path; // nothing written yet: the recording simply starts there
        {
            std::lock_guard lock(m_statusMutex);
            m_lastPath = path;
        }
        ProtocolOutput::element("record_chop_done" + ProtocolOutput::attr("filename", path));
        return;
    }
    m_chops.push_back(path);
}

void Recorder::tick()
{
    const DiskWriter::Error e = m_writer.error();
    if (e != DiskWriter::Error::None) {
        fatal(DiskWriter::errorCode(e), m_writer.errorText());
        return;
    }
    // No sound for a while and nothing else waiting: a source without sound. (A queue that
    // still holds items may hold the sound.)
    if (!m_held.empty() && msSince(m_heldSince) > kHeldMs && m_queue.bytes() == 0)
        flushHeld();
    if (m_closing.file && msSince(m_closingSince) > kTailMs)
        finishClosing();
    fillStall();
}

void Recorder::stop()
{
    if (!m_held.empty())
        flushHeld();
    // Sound held for a file change that never came belongs to the current file.
    m_chops.clear();
    std::deque<MediaItemPtr> pending;
    pending.swap(m_pendingAudio);
    if (m_current.file) {
        for (const MediaItemPtr &a : pending)
            routeAudio(a);
    }
    finishClosing();
    if (m_current.file && !m_done)
        finishPart(m_current);
    m_current = Part{};
    publish();
    m_done = true;
}
