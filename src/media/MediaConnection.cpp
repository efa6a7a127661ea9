#include "media/MediaConnection.h"

#include "media/BandwidthStream.h"
#include "media/MediaAudioSink.h"

#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <chrono>
#include <cmath>

namespace {

qint64 steadyUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool hasFloatData(const AudioFramePtr &frame)
{
    return frame && frame->frame.p_data;
}

} // namespace

qint64 MediaConnection::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::mutex &MediaConnection::audioSinkLock()
{
    static std::mutex lock;
    return lock;
}

MediaConnection::MediaConnection(QObject *parent) : QObject(parent)
{
    for (auto &level : m_levels)
        level.store(kSilenceDb);
    m_high = std::make_unique<BandwidthStream>(this, High);
    m_low = std::make_unique<BandwidthStream>(this, Low);

    auto makeTimer = [this](QThread *&thread, QTimer *&timer, int intervalMs, auto slot) {
        thread = new QThread(this);
        timer = new QTimer;
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(intervalMs);
        timer->moveToThread(thread);
        connect(thread, &QThread::started, timer, qOverload<>(&QTimer::start));
        connect(thread, &QThread::finished, timer, &QTimer::stop);
        // QThread::wait() synchronises through Qt internals that race detectors cannot see;
        // this release, paired with the acquire after wait(), makes the join explicit.
        connect(
            thread, &QThread::finished, this,
            [this] { m_threadsEnded.fetch_add(1, std::memory_order_release); },
            Qt::DirectConnection);
        connect(timer, &QTimer::timeout, this, slot, Qt::DirectConnection);
    };
    makeTimer(m_highThread, m_highTimer, m_highIntervalMs,
              &MediaConnection::timedGetHighBwVideoFrame);
    makeTimer(m_lowThread, m_lowTimer, m_lowIntervalMs, &MediaConnection::timedGetLowBwVideoFrame);
    makeTimer(m_periodThread, m_periodTimer, m_periodIntervalMs,
              &MediaConnection::timedPeriodCheck);
}

MediaConnection::~MediaConnection()
{
    const QString name = sourceName();
    qInfo() << "before ~mediaConnection " << this << name;
    shutdown();
    m_high.reset();
    m_low.reset();
    qInfo() << "after ~mediaConnection " << this << name;
    delete m_highTimer;
    delete m_lowTimer;
    delete m_periodTimer;
    std::lock_guard<std::mutex> lock(audioSinkLock());
    m_sinks.clear();
}

void MediaConnection::shutdown()
{
    m_shutDown = true;
    if (m_audioThread.joinable()) {
        m_audioRunning = false;
        m_audioThread.join();
    }
    for (QThread *thread : {m_highThread, m_lowThread, m_periodThread}) {
        if (thread && thread->isRunning()) {
            thread->quit();
            thread->wait();
        }
    }
    m_threadsEnded.load(std::memory_order_acquire);
}

QString MediaConnection::sourceName() const
{
    const QString name = m_high->name();
    return name.isEmpty() ? m_low->name() : name;
}

bool MediaConnection::isStarted() const
{
    return m_started;
}

// ------------------------------------------------------------------ lifecycle

bool MediaConnection::setSource(int bw, const QString &name, const QString &address)
{
    if (bw != Both && bw != High && bw != Low)
        return false;
    if (bw == Both || bw == High)
        m_high->setSource(name, address);
    if (bw == Both || bw == Low)
        m_low->setSource(name, address);
    return true;
}

bool MediaConnection::start()
{
    if (m_shutDown)
        return true;
    m_started = true;
    if (!m_highThread->isRunning())
        m_highThread->start(QThread::InheritPriority);
    if (!m_lowThread->isRunning())
        m_lowThread->start(QThread::InheritPriority);
    if (!m_audioThread.joinable()) {
        m_audioRunning = true;
        m_audioThread = std::thread([this] { audioLoop(); });
    }
    if (!m_periodThread->isRunning())
        m_periodThread->start(QThread::InheritPriority);
    return true;
}

bool MediaConnection::stop()
{
    shutdown();
    m_started = false;
    // The receivers go now, not whenever the last holder lets go (possibly at exit).
    m_high->close();
    m_low->close();
    return true;
}

// ------------------------------------------------------------------ users

bool MediaConnection::addVideoUser(int bw, const void *user)
{
    if (m_shutDown)
        return false; // stopped: no receiver is made any more
    {
        std::unique_lock lock(m_videoUsersLock);
        if (bw == Both || bw == High) {
            if (!m_highUsers.contains(user))
                m_highUsers.append(user);
            m_highCloseDeadlineMs = 0;
        }
        if (bw == Both || bw == Low) {
            if (!m_lowUsers.contains(user))
                m_lowUsers.append(user);
            m_lowCloseDeadlineMs = 0;
        }
    }
    if (bw == Both || bw == High)
        m_high->open();
    if (bw == Both || bw == Low)
        m_low->open();
    return true;
}

bool MediaConnection::removeVideoUser(int bw, const void *user)
{
    const qint64 now = nowMs();
    std::unique_lock lock(m_videoUsersLock);
    if (bw == Both || bw == High) {
        m_highUsers.removeOne(user);
        if (m_highUsers.isEmpty())
            m_highCloseDeadlineMs = now + kCloseDelayMs;
    }
    if (bw == Both || bw == Low) {
        m_lowUsers.removeOne(user);
        if (m_lowUsers.isEmpty())
            m_lowCloseDeadlineMs = now + kCloseDelayMs;
    }
    return true;
}

int MediaConnection::videoUserCount(int bw)
{
    std::shared_lock lock(m_videoUsersLock);
    return bw == High ? int(m_highUsers.size()) : int(m_lowUsers.size());
}

bool MediaConnection::streamOpened(int bw) const
{
    return (bw == High ? m_high : m_low)->isOpened();
}

bool MediaConnection::streamHasReceiver(int bw) const
{
    return (bw == High ? m_high : m_low)->hasInstance();
}

quint64 MediaConnection::videoFramesReceived(int bw) const
{
    return bw == High ? m_highFramesReceived.load() : m_lowFramesReceived.load();
}

bool MediaConnection::onlyStickHolder(const QList<const void *> &users)
{
    return users.size() == 1 && users.front() == nullptr;
}

void MediaConnection::setAudioUser(bool enable, const void *user)
{
    std::unique_lock lock(m_audioUsersLock);
    if (enable) {
        if (!m_audioUsers.contains(user))
            m_audioUsers.append(user);
    } else {
        m_audioUsers.removeOne(user);
    }
}

void MediaConnection::setTallyUser(bool preview, bool program, const void *user)
{
    bool anyPreview = false;
    bool anyProgram = false;
    {
        std::unique_lock lock(m_tallyUsersLock);
        auto apply = [user](QList<const void *> &users, bool on) {
            if (on) {
                if (!users.contains(user))
                    users.append(user);
            } else {
                users.removeOne(user);
            }
        };
        apply(m_previewUsers, preview);
        apply(m_programUsers, program);
        anyPreview = !m_previewUsers.isEmpty();
        anyProgram = !m_programUsers.isEmpty();
    }
    m_high->setTally(anyPreview, anyProgram);
    m_low->setTally(anyPreview, anyProgram);
}

bool MediaConnection::setSticked(bool en)
{
    if (en) {
        addVideoUser(High, nullptr);
        addVideoUser(Low, nullptr);
    } else {
        removeVideoUser(High, nullptr);
        removeVideoUser(Low, nullptr);
    }
    return en;
}

bool MediaConnection::isSticked()
{
    std::shared_lock lock(m_videoUsersLock);
    return m_highUsers.contains(nullptr);
}

// ------------------------------------------------------------------ state for holders

int32_t MediaConnection::getInterval(int bw)
{
    return bw == High ? m_highIntervalMs.load() : m_lowIntervalMs.load();
}

int32_t MediaConnection::getAudioLevels(double levels[kMaxChannels])
{
    for (int c = 0; c < kMaxChannels; ++c)
        levels[c] = m_levels[c].load();
    return m_channelCount;
}

int32_t MediaConnection::getTallyState()
{
    auto state = [](const BandwidthStream &stream) {
        if (stream.tallyProgram())
            return 2;
        return stream.tallyPreview() ? 1 : 0;
    };
    return state(*m_high) | state(*m_low);
}

CapabilitiesPtr MediaConnection::getCapabilities(int bw)
{
    if (bw == Both || bw == High) {
        CapabilitiesPtr caps = m_high->capabilities();
        if (!caps && bw == Both)
            caps = m_low->capabilities();
        return caps;
    }
    return m_low->capabilities();
}

bool MediaConnection::isOpened()
{
    return (m_high->isOpened() && m_high->hasInstance()) ||
           (m_low->isOpened() && m_low->hasInstance());
}

VideoFramePtr MediaConnection::getVideoFrame(int bw)
{
    const qint64 now = nowMs();
    const bool wantHigh = bw == High;
    BandwidthStream &wanted = wantHigh ? *m_high : *m_low;
    BandwidthStream &other = wantHigh ? *m_low : *m_high;
    std::atomic<qint64> &otherDeadline = wantHigh ? m_lowCloseDeadlineMs : m_highCloseDeadlineMs;

    VideoFramePtr frame = wanted.latestVideo();
    if (frame && frame->frame.p_data) {
        otherDeadline = now; // the other stream closes at its next tick unless someone wants it
        return frame;
    }
    if (other.isOpened()) {
        otherDeadline = 0; // kept as a fallback until the wanted stream delivers
        VideoFramePtr fallback = other.latestVideo();
        if (fallback && fallback->frame.p_data)
            return fallback;
        return frame;
    }
    if (now - wanted.lastVideoMs() >= kFallbackAfterMs && !m_shutDown) {
        otherDeadline = 0;
        other.open();
        if (wantHigh)
            qInfo() << "[getVideoFrame] #2 low use " << wanted.name();
    }
    return frame;
}

bool MediaConnection::getVideoInfo(int bw, int *xres, int *yres, float *fps)
{
    const bool wantHigh = bw == High;
    BandwidthStream &wanted = wantHigh ? *m_high : *m_low;
    BandwidthStream &other = wantHigh ? *m_low : *m_high;
    VideoFramePtr frame = wanted.latestVideo();
    if (!(frame && frame->frame.p_data) && other.isOpened()) {
        VideoFramePtr fallback = other.latestVideo();
        if (fallback && fallback->frame.p_data)
            frame = fallback;
    }
    if (!frame)
        return false;
    const Media_video_frame_t &f = frame->frame;
    if (xres)
        *xres = f.xres;
    if (yres)
        *yres = f.yres;
    if (fps)
        *fps = f.frame_rate_D < 1 ? 0.f : float(f.frame_rate_N) / float(f.frame_rate_D);
    return true;
}

// ------------------------------------------------------------------ sinks, tally, NTP

void MediaConnection::AddAudioSink(int id, MediaAudioSink *sink)
{
    if (!sink)
        return;
    std::lock_guard<std::mutex> lock(audioSinkLock());
    m_sinks[id] = sink;
}

void MediaConnection::RemoveAudioSink(int id)
{
    std::lock_guard<std::mutex> lock(audioSinkLock());
    m_sinks.erase(id);
}

void MediaConnection::applyNtp(const QString &server)
{
    m_high->applyNtp(server);
    m_low->applyNtp(server);
}

// ------------------------------------------------------------------ timer threads

void MediaConnection::timedGetHighBwVideoFrame()
{
    timedGetVideoFrame(true);
}

void MediaConnection::timedGetLowBwVideoFrame()
{
    timedGetVideoFrame(false);
}

void MediaConnection::timedGetVideoFrame(bool high)
{
    BandwidthStream &stream = high ? *m_high : *m_low;
    if (!stream.isOpened())
        return;
    std::atomic<qint64> &deadline = high ? m_highCloseDeadlineMs : m_lowCloseDeadlineMs;
    bool onlySticky = false;
    bool unused = false;
    {
        std::shared_lock lock(m_videoUsersLock);
        const QList<const void *> &users = high ? m_highUsers : m_lowUsers;
        onlySticky = onlyStickHolder(users);
        unused = users.isEmpty();
    }
    if (unused) {
        const qint64 due = deadline.load();
        if (due != 0 && nowMs() >= due) {
            BandwidthStream::Detached dropped; // dropped after the lock
            std::unique_lock lock(m_videoUsersLock);
            // Checked again and closed under the users lock: a user arriving now reopens after us.
            const QList<const void *> &users = high ? m_highUsers : m_lowUsers;
            if (users.isEmpty() && deadline.load() != 0) {
                dropped = stream.detach();
                deadline = 0;
                if (!high)
                    qInfo() << "Delayed close low-bw stream for: " << stream.name() << users.size();
            }
            lock.unlock();
            return;
        }
    }
    VideoFramePtr frame = stream.readVideo(onlySticky);
    if (frame && frame->frame.p_data) {
        int64_t &last = high ? m_highLastTimecode : m_lowLastTimecode;
        if (frame->frame.timecode != last) {
            last = frame->frame.timecode;
            ++(high ? m_highFramesReceived : m_lowFramesReceived);
        }
    }
    if (frame && frame->frame.frame_rate_D > 0 && frame->frame.frame_rate_N > 0) {
        const double fps = double(frame->frame.frame_rate_N) / frame->frame.frame_rate_D;
        const int interval = std::max(1, int(1000.0 / fps));
        std::atomic<int32_t> &current = high ? m_highIntervalMs : m_lowIntervalMs;
        if (interval != current.load()) {
            current = interval;
            (high ? m_highTimer : m_lowTimer)->setInterval(interval);
            if (high)
                qInfo() << "high bw changed interval :" << interval;
        }
    }
}

void MediaConnection::timedPeriodCheck()
{
    if (m_low->isOpened())
        emit updateCapabilities(m_low->name(), Low);
}

// ------------------------------------------------------------------ audio thread

AudioFramePtr MediaConnection::fetchAudio(bool hasAudioUsers)
{
    bool lowFlag = false;
    bool highFlag = false;
    if (!hasAudioUsers) {
        // Each stream is asked with the flag of the other stream's users.
        std::shared_lock lock(m_videoUsersLock);
        lowFlag = onlyStickHolder(m_highUsers);
        highFlag = onlyStickHolder(m_lowUsers);
    }
    AudioFramePtr frame;
    m_audioFromHigh = false;
    if (m_low->isOpened()) {
        frame = m_low->readAudio(lowFlag, kAudioSamples);
        if (hasFloatData(frame))
            return frame;
    }
    if (m_high->isOpened()) {
        frame = m_high->readAudio(highFlag, kAudioSamples);
        m_audioFromHigh = true;
    }
    return frame;
}

bool MediaConnection::audioLate() const
{
    // Assumes 48000 Hz at the sender, the rate nearly every source uses; at another rate the
    // wait ends a little early or late, never past kAudioWaitUs.
    const int queued = (m_audioFromHigh ? m_high : m_low)->audioQueued();
    return queued >= 0 && queued < kAudioSamples;
}

void MediaConnection::writeLevels(const AudioFramePtr &frame)
{
    if (!hasFloatData(frame)) {
        for (auto &level : m_levels)
            level = kSilenceDb;
        return;
    }
    const Media_audio_frame_t &f = frame->frame;
    const int channels = std::max(0, f.no_channels);
    for (int c = 0; c < kMaxChannels; ++c) {
        double level = kSilenceDb;
        if (c < channels && f.no_samples > 0) {
            float peak = 0.f;
            for (int i = 0; i < f.no_samples; ++i)
                peak = std::max(peak, std::fabs(f.p_data[i * channels + c]));
            if (peak > 0.f)
                level = 20.0 * std::log10(double(peak));
        }
        m_levels[c] = level;
    }
}

void MediaConnection::audioLoop()
{
    qint64 dueUs = steadyUs() + kAudioBlockUs;
    while (m_audioRunning) {
        const qint64 nowUs = steadyUs();
        if (nowUs < dueUs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        bool hasAudioUsers = false;
        {
            std::shared_lock lock(m_audioUsersLock);
            hasAudioUsers = !m_audioUsers.isEmpty();
        }
        // A block the sender (or the network) delivers late is waited for while the heard
        // windows' buffers cover the wait, instead of taking the frame synchroniser's silence
        // in its place: a hiccup of up to kAudioWaitUs beyond the synchroniser's own margin
        // is then not heard. The grid stays, so the captures after it catch up.
        if (hasAudioUsers && nowUs < dueUs + kAudioWaitUs && audioLate()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        dueUs += kAudioBlockUs; // a fixed grid: a late thread catches up back to back
        AudioFramePtr frame = fetchAudio(hasAudioUsers);
        writeLevels(frame);
        if (hasAudioUsers && frame && frame->frame.p_data_16s) {
            const int bytes = frame->frame.bytes16();
            std::lock_guard<std::mutex> sinkLock(audioSinkLock());
            for (const auto &[id, sink] : m_sinks) {
                if (!sink)
                    continue;
                {
                    std::shared_lock lock(m_audioUsersLock);
                    if (m_audioUsers.isEmpty())
                        break;
                }
                sink->Write(frame->frame.p_data_16s, bytes);
            }
        }
    }
}
