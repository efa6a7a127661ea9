// One bandwidth (high or low) of a media connection: the receiver for it, the latest frames
// and capabilities read from it, and its tally state.
// Threads: the connection's timer threads (readVideo), its audio thread (readAudio) and the
// main thread (open, close, setTally, setSource). Every field is guarded by `m_lock`
// (recursive: held around the owner's NDI operations too), except the owner and bandwidth,
// which never change; isOpened() and lastVideoMs() are lock-free atomics.
#pragma once

#include "media/AudioFrameWrapper.h"
#include "media/MediaCapabilities.h"
#include "media/MediaFrameWrapper.h"

#include <QString>
#include <atomic>
#include <mutex>

class MediaConnection;

class BandwidthStream
{
public:
    static constexpr int kCapabilitiesPeriodMs = 2500; // re-read capabilities this often

    BandwidthStream(MediaConnection *owner, int bandwidth);
    ~BandwidthStream(); // closes

    void setSource(const QString &name, const QString &address);
    // What a closing stream lets go of; the caller drops it outside every lock.
    struct Detached
    {
        MediaInstancePtr instance;
        VideoFramePtr video;
        AudioFramePtr audio;
    };

    void open();
    void close();      // detach() and drop at once
    Detached detach(); // closes; hands the receiver and frames to the caller
    VideoFramePtr readVideo(bool onlySticky);
    AudioFramePtr readAudio(bool onlySticky, int samples);
    int audioQueued(); // the receiver's queued samples per channel; -1 unknown or closed
    void setTally(bool preview, bool program);
    void applyNtp(const QString &server);

    bool isOpened() const { return m_opened.load(); }
    bool hasInstance() const;
    int bandwidth() const { return m_bandwidth; }
    QString name() const;
    QString address() const;
    VideoFramePtr latestVideo() const;
    AudioFramePtr latestAudio() const;
    CapabilitiesPtr capabilities() const;
    qint64 lastVideoMs() const { return m_lastVideoMs.load(); }
    bool tallyPreview() const;
    bool tallyProgram() const;

private:
    QString m_name;
    std::atomic<qint64> m_lastVideoMs{0}; // steady ms of open or of the last frame with data
    MediaConnection *const m_owner;
    const int m_bandwidth; // 1 high, 2 low
    QString m_address;
    MediaInstancePtr m_instance;
    VideoFramePtr m_latestVideo;
    AudioFramePtr m_latestAudio;
    mutable std::recursive_mutex m_lock;
    std::atomic<bool> m_opened{false};
    bool m_preview = false;
    bool m_program = false;
    bool m_tallyPending = true; // send tally with the next frame that has data
    CapabilitiesPtr m_capabilities;
    qint64 m_lastCapabilitiesMs = 0;
};
