#include "control/WindowFeed.h"

#include <QDebug>

void WindowFeed::drop()
{
    if (m_connection) {
        if (m_registered)
            m_connection->removeVideoUser(MediaConnection::Both, this);
        if (m_connection.use_count() < 2) // the last holder ends its threads
            m_connection->stop();
        m_connection.reset();
    }
    m_registered = false;
    m_picture.reset();
    m_probe = PictureProbe();
    m_lastPictureMs = -1;
    m_levels[0] = m_levels[1] = MediaConnection::kSilenceDb;
    m_sendsAudio = false;
    jpeg.clear();
}

void WindowFeed::release()
{
    drop();
    m_source.clear();
    m_failed = false;
}

QString WindowFeed::state() const
{
    if (m_source.isEmpty())
        return QStringLiteral("idle");
    if (!m_connection)
        return m_failed ? QStringLiteral("failed") : QStringLiteral("loading");
    if (m_lastPictureMs >= 0 && m_nowMs - m_lastPictureMs < StaleAfterMs)
        return QStringLiteral("play");
    return QStringLiteral("loading");
}

WindowFeed::Tick WindowFeed::update(const QString &source, const ConnectionLookup &lookup,
                                    qint64 nowMs)
{
    Tick tick;
    m_nowMs = nowMs;
    if (source != m_source) {
        drop();
        m_source = source;
        m_failed = false;
        tick.sourceChanged = true;
    }
    if (m_source.isEmpty())
        return tick;
    // A source that left the table and came back has a new connection: follow it.
    if (m_connection && lookup && lookup(m_source) != m_connection)
        drop();
    if (!m_connection) {
        m_connection = lookup ? lookup(m_source) : MediaConnectionPtr();
        m_failed = !m_connection;
        if (!m_connection)
            return tick;
        m_connection->start();
        m_connectedMs = nowMs;
    }

    // A tile (or any other holder) that wants video serves the feed too; only when there is
    // none does the feed want the low stream itself. The stick holder (null) wants no frames.
    const int sticks = m_connection->isSticked() ? 2 : 0;
    const int lowUsers = m_connection->videoUserCount(MediaConnection::Low);
    const int others = m_connection->videoUserCount(MediaConnection::High) + lowUsers - sticks -
                       (m_registered ? 1 : 0);
    if (others <= 0 && !m_registered) {
        m_connection->addVideoUser(MediaConnection::Low, this);
        m_registered = true;
    } else if (others > 0 && m_registered) {
        m_connection->removeVideoUser(MediaConnection::Low, this);
        m_registered = false;
    }
    // The bandwidth the other users want, so the feed's read never opens a stream.
    const bool lowWanted = m_registered || lowUsers - sticks / 2 > 0;
    const VideoFramePtr frame =
        m_connection->getVideoFrame(lowWanted ? MediaConnection::Low : MediaConnection::High);
    if (frame && frame->frame.p_data &&
        (m_lastPictureMs < 0 || frame->frame.timecode != m_lastTimecode ||
         frame->frame.timestamp != m_lastTimestamp)) {
        const Media_video_frame_t &f = frame->frame;
        m_lastTimecode = f.timecode;
        m_lastTimestamp = f.timestamp;
        m_lastPictureMs = nowMs;
        m_picture = frame;
        ++m_pictureSerial;
        m_probe = PictureProbe::sample(f.p_data, f.xres, f.yres, f.line_stride_in_bytes);
        tick.newPicture = true;
    }

    double levels[MediaConnection::kMaxChannels];
    m_connection->getAudioLevels(levels);
    for (int c = 0; c < 2; ++c) {
        m_levels[c] = levels[c];
        if (levels[c] > MediaConnection::kSilenceDb)
            m_sendsAudio = true;
    }
    return tick;
}
