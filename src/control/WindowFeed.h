// What the monitor knows about one window's source without a tile: the state a tile would
// show, the live levels, the latest picture and its small probe. The feed uses the source's
// shared MediaConnection like a tile does; it registers itself as a low-bandwidth video
// user only while no one else (a tile) is one, so with tiles on screen nothing is received
// twice and without them (headless, hidden tiles) the low stream keeps coming.
//
// Thread: main thread (the monitor's tick); the connection is called as a tile calls it.
#pragma once

#include "control/PictureProbe.h"
#include "media/MediaConnection.h"

#include <QByteArray>
#include <QString>
#include <functional>

class WindowFeed
{
public:
    // A picture not renewed for this long turns "play" back into "loading" (as a tile).
    static constexpr qint64 StaleAfterMs = 1000;
    using ConnectionLookup = std::function<MediaConnectionPtr(const QString &sourceName)>;

    explicit WindowFeed(int position) : m_position(position) {}
    ~WindowFeed() { release(); }
    WindowFeed(const WindowFeed &) = delete;
    WindowFeed &operator=(const WindowFeed &) = delete;

    struct Tick
    {
        bool sourceChanged = false;
        bool newPicture = false;
    };
    // Follows the window's source (`lookup` gives its connection), keeps the user
    // registration right, and takes the latest frame and levels.
    Tick update(const QString &source, const ConnectionLookup &lookup, qint64 nowMs);
    // Lets go of the connection (user registration included) and of the latest picture.
    void release();

    int position() const { return m_position; }
    QString source() const { return m_source; }
    // "idle" (no source), "failed" (the source has no connection), "loading", "play".
    QString state() const;
    double level(int channel) const { return m_levels[channel & 1]; }
    // The source sent audio (a level above silence) since it was set.
    bool sendsAudio() const { return m_sendsAudio; }
    // True while the feed is a video user of the connection (no tile is).
    bool holdsUser() const { return m_registered; }
    // The last frame with a new picture; grows with every new picture.
    VideoFramePtr picture() const { return m_picture; }
    quint64 pictureSerial() const { return m_pictureSerial; }
    const PictureProbe &probe() const { return m_probe; }

    // The preview JPEG cache of the monitor: the JPEG of picture `jpegSerial`, encoded at
    // steady-clock `jpegMs`.
    QByteArray jpeg;
    quint64 jpegSerial = 0;
    qint64 jpegMs = 0;

private:
    void drop();

    const int m_position;
    QString m_source;
    MediaConnectionPtr m_connection;
    bool m_registered = false;
    bool m_failed = false;
    qint64 m_connectedMs = 0;
    qint64 m_lastPictureMs = -1;
    int64_t m_lastTimecode = 0;
    int64_t m_lastTimestamp = 0;
    qint64 m_nowMs = 0;
    VideoFramePtr m_picture;
    quint64 m_pictureSerial = 0;
    PictureProbe m_probe;
    double m_levels[2] = {MediaConnection::kSilenceDb, MediaConnection::kSilenceDb};
    bool m_sendsAudio = false;
};
