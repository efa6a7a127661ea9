#include "media/BandwidthStream.h"

#include "media/MediaConnection.h"

BandwidthStream::BandwidthStream(MediaConnection *owner, int bandwidth)
    : m_owner(owner), m_bandwidth(bandwidth)
{
}

BandwidthStream::~BandwidthStream()
{
    close();
}

void BandwidthStream::setSource(const QString &name, const QString &address)
{
    Detached dropped;
    std::unique_lock lock(m_lock);
    if (name == m_name && address == m_address)
        return;
    dropped.video = std::move(m_latestVideo);
    dropped.audio = std::move(m_latestAudio);
    dropped.instance = std::move(m_instance);
    m_capabilities.reset();
    m_name = name;
    m_address = address;
    if (m_opened)
        open();
    lock.unlock(); // the old receiver goes after the lock (its destruction may block)
}

void BandwidthStream::open()
{
    std::unique_lock lock(m_lock);
    m_opened = true;
    if (!m_address.isEmpty() && !m_instance) {
        m_instance = m_owner->createInstance(m_bandwidth, m_name, m_address);
        m_lastCapabilitiesMs = 0;
        m_lastVideoMs = MediaConnection::nowMs();
        m_tallyPending = true;
    }
}

BandwidthStream::Detached BandwidthStream::detach()
{
    Detached dropped;
    std::unique_lock lock(m_lock);
    if (!m_opened)
        return dropped;
    m_opened = false;
    dropped.instance = std::move(m_instance);
    dropped.video = std::move(m_latestVideo);
    dropped.audio = std::move(m_latestAudio);
    m_capabilities.reset();
    return dropped;
}

void BandwidthStream::close()
{
    // The receiver goes after the lock: its destruction may block while its peer vanishes.
    Detached dropped = detach();
}

VideoFramePtr BandwidthStream::readVideo(bool onlySticky)
{
    std::unique_lock lock(m_lock);
    if (!m_opened || !m_instance) {
        m_latestVideo.reset();
        return {};
    }
    const qint64 now = MediaConnection::nowMs();
    if (!m_capabilities || now - m_lastCapabilitiesMs >= kCapabilitiesPeriodMs) {
        m_capabilities = m_owner->queryCapabilities(m_instance);
        m_lastCapabilitiesMs = now;
    }
    VideoFramePtr frame = m_owner->captureVideo(m_instance, onlySticky);
    if (frame)
        frame->capturedMs = now;
    m_latestVideo = frame;
    const bool hasData = frame && frame->frame.p_data;
    if (hasData && m_tallyPending) {
        m_owner->sendTally(m_instance, m_preview, m_program);
        m_tallyPending = false;
    }
    if (hasData || (onlySticky && frame))
        m_lastVideoMs = MediaConnection::nowMs();
    return frame;
}

AudioFramePtr BandwidthStream::readAudio(bool onlySticky, int samples)
{
    std::unique_lock lock(m_lock);
    if (!m_opened || !m_instance) {
        m_latestAudio.reset();
        return {};
    }
    const qint64 now = MediaConnection::nowMs();
    if (!m_capabilities || now - m_lastCapabilitiesMs >= kCapabilitiesPeriodMs) {
        m_capabilities = m_owner->queryCapabilities(m_instance);
        m_lastCapabilitiesMs = now;
    }
    AudioFramePtr frame = m_owner->captureAudio(m_instance, onlySticky, samples);
    m_latestAudio = frame;
    if (frame && frame->frame.p_data_16s && m_tallyPending) {
        m_owner->sendTally(m_instance, m_preview, m_program);
        m_tallyPending = false;
    }
    return frame;
}

int BandwidthStream::audioQueued()
{
    std::unique_lock lock(m_lock);
    return m_opened && m_instance ? m_owner->audioQueued(m_instance) : -1;
}

void BandwidthStream::setTally(bool preview, bool program)
{
    std::unique_lock lock(m_lock);
    m_preview = preview;
    m_program = program;
    if (m_instance)
        m_owner->sendTally(m_instance, preview, program);
}

void BandwidthStream::applyNtp(const QString &server)
{
    MediaInstancePtr instance;
    {
        std::unique_lock lock(m_lock);
        instance = m_instance;
    }
    if (instance)
        m_owner->sendNtp(instance, server);
}

bool BandwidthStream::hasInstance() const
{
    std::unique_lock lock(m_lock);
    return bool(m_instance);
}

QString BandwidthStream::name() const
{
    std::unique_lock lock(m_lock);
    return m_name;
}

QString BandwidthStream::address() const
{
    std::unique_lock lock(m_lock);
    return m_address;
}

VideoFramePtr BandwidthStream::latestVideo() const
{
    std::unique_lock lock(m_lock);
    return m_latestVideo;
}

AudioFramePtr BandwidthStream::latestAudio() const
{
    std::unique_lock lock(m_lock);
    return m_latestAudio;
}

CapabilitiesPtr BandwidthStream::capabilities() const
{
    std::unique_lock lock(m_lock);
    return m_capabilities;
}

bool BandwidthStream::tallyPreview() const
{
    std::unique_lock lock(m_lock);
    return m_preview;
}

bool BandwidthStream::tallyProgram() const
{
    std::unique_lock lock(m_lock);
    return m_program;
}
