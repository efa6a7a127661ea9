// The one object through which the whole program receives one source: a high- and a
// low-bandwidth stream, each opened while someone wants it and closed one second after the
// last user left; video pulled on two timer threads at the source's frame rate, audio pulled
// on a fixed 20 ms grid by the audio thread (peak levels, writes to the audio sinks),
// capability changes signalled every 5 s. Shared by reference: the source table, render items,
// the audio mixer and stick requests each hold one; it lives until the last one lets go.
// Concrete receivers derive from it and implement the seven protected operations.
//
// Threads: main thread (users, tally, NTP, getVideoFrame, sinks), high and low timer threads
// (frame capture, closing), period thread (capability signal), audio thread.
// Locks (never nested with one another, except as noted):
//   m_videoUsersLock  - low/high users and both close deadlines' writers
//   m_audioUsersLock  - audio users
//   m_tallyUsersLock  - preview/program users
//   each BandwidthStream's own recursive lock (taken alone)
//   audioSinkLock()   - process-wide; the sink tables of every connection. The audio thread
//                       takes m_audioUsersLock (read) inside it while writing. The mixer
//                       takes its own sink lock before this one.
// Intervals, levels and close deadlines are atomics read and written without a lock.
#pragma once

#include "media/AudioFrameWrapper.h"
#include "media/MediaCapabilities.h"
#include "media/MediaFrameWrapper.h"

#include <QList>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

class BandwidthStream;
class MediaAudioSink;
class QThread;
class QTimer;

class MediaConnection : public QObject
{
    Q_OBJECT
public:
    enum Bandwidth
    {
        Both = 0,
        High = 1,
        Low = 2,
        AudioOnly = 3,
        MetadataOnly = 4
    };
    enum ConnectionState
    {
        NoReceiver = 0,
        Connected = 2,
        NotConnected = 3,
        ReceiverError = 4
    };
    static constexpr int kMaxChannels = 16;
    static constexpr double kSilenceDb = -200.0;
    static constexpr int kCloseDelayMs = 1000;    // a stream closes this long after its last user
    static constexpr int kFallbackAfterMs = 1000; // wanted stream silent this long: open the other
    static constexpr int kAudioBlockUs = 20000;   // audio grid
    static constexpr int kAudioSamples = 960;     // 20 ms at 48000 Hz
    // How long past its slot a capture may wait for a late block of the sender's: the
    // heard windows' buffers start at 60 ms and hold at least about 40 ms before each write.
    static constexpr int kAudioWaitUs = 30000;

    explicit MediaConnection(QObject *parent = nullptr);
    ~MediaConnection() override;

    // The process-wide lock around every connection's sink table.
    static std::mutex &audioSinkLock();
    // Steady clock, milliseconds.
    static qint64 nowMs();

    // bw 0 both streams, 1 high, 2 low; other values: false.
    virtual bool setSource(int bw, const QString &name, const QString &address);
    virtual bool start(); // starts the timer threads and the audio thread
    // Ends and joins them and closes both streams (their receivers are released); only for
    // the last holder or the application's shutdown; not restartable: afterwards no
    // receiver is made any more.
    virtual bool stop();
    // A user is any pointer that identifies a holder; null is the stick holder.
    virtual bool addVideoUser(int bw, const void *user);
    virtual bool removeVideoUser(int bw, const void *user);
    // bw 1: high wanted, anything else: low wanted. May hand out the other stream's frame
    // while the wanted one has none (and brings it up after a second of silence).
    virtual VideoFramePtr getVideoFrame(int bw);
    virtual bool getVideoInfo(int bw, int *xres, int *yres, float *fps);
    virtual void setAudioUser(bool enable, const void *user);
    virtual void setTallyUser(bool preview, bool program, const void *user);
    virtual int32_t getInterval(int bw); // ms
    // Copies the 16 peak levels (dB, -200 = silence); returns the channel count (2).
    virtual int32_t getAudioLevels(double levels[kMaxChannels]);
    // Per stream 2 when on program, else 1 when on preview; high and low ORed.
    virtual int32_t getTallyState();
    virtual bool setSticked(bool en);
    virtual bool isSticked();
    // bw 0 or 1: the high stream's (bw 0 falls back to the low's); other: the low stream's.
    virtual CapabilitiesPtr getCapabilities(int bw);
    virtual bool isOpened();
    // The sink is not owned; it stays registered until RemoveAudioSink(id).
    virtual void AddAudioSink(int id, MediaAudioSink *sink);
    virtual void RemoveAudioSink(int id);
    virtual void applyNtp(const QString &server);

    // Introspection for diagnostics and tests.
    bool isStarted() const;
    QString sourceName() const;
    int videoUserCount(int bw);
    bool streamOpened(int bw) const;
    bool streamHasReceiver(int bw) const;
    // New pictures (a frame with data whose timecode differs from the one before) captured
    // by a stream's timer so far.
    quint64 videoFramesReceived(int bw) const;

signals:
    // A new capability record may be available for `sourceName` through `bw` (emitted on
    // the period thread every 5 s while the low stream is open).
    void updateCapabilities(QString sourceName, int bw);

public slots:
    void timedGetHighBwVideoFrame();
    void timedGetLowBwVideoFrame();
    void timedPeriodCheck();

protected:
    friend class BandwidthStream;
    // The receiver operations; all may be called from several threads at once for the same
    // instance (timer threads, audio thread, main thread).
    virtual MediaInstancePtr createInstance(int bw, const QString &name,
                                            const QString &address) = 0;
    virtual int checkConnection(const MediaInstancePtr &instance) = 0;
    virtual VideoFramePtr captureVideo(const MediaInstancePtr &instance, bool onlySticky) = 0;
    virtual AudioFramePtr captureAudio(const MediaInstancePtr &instance, bool onlySticky,
                                       int samples) = 0;
    // Samples (per channel) the receiver's audio queue holds; -1 when it cannot tell.
    virtual int audioQueued(const MediaInstancePtr &) { return -1; }
    virtual CapabilitiesPtr queryCapabilities(const MediaInstancePtr &instance) = 0;
    virtual void sendTally(const MediaInstancePtr &instance, bool preview, bool program) = 0;
    virtual void sendNtp(const MediaInstancePtr &instance, const QString &server) = 0;

    // Ends the threads; concrete classes call it first in their destructor so no thread
    // reaches their operations while they are torn down.
    void shutdown();

private:
    void timedGetVideoFrame(bool high);
    void audioLoop();
    AudioFramePtr fetchAudio(bool hasAudioUsers);
    bool audioLate() const;
    void writeLevels(const AudioFramePtr &frame);
    static bool onlyStickHolder(const QList<const void *> &users);

    std::atomic<int32_t> m_highIntervalMs{33};
    std::atomic<int32_t> m_lowIntervalMs{33};
    const int32_t m_periodIntervalMs = 5000;
    std::unique_ptr<BandwidthStream> m_high;
    std::unique_ptr<BandwidthStream> m_low;
    std::shared_mutex m_videoUsersLock;
    std::shared_mutex m_audioUsersLock;
    std::shared_mutex m_tallyUsersLock;
    QTimer *m_highTimer = nullptr;
    QTimer *m_lowTimer = nullptr;
    QTimer *m_periodTimer = nullptr;
    QList<const void *> m_lowUsers;
    QList<const void *> m_highUsers;
    QList<const void *> m_audioUsers;
    QList<const void *> m_previewUsers;
    QList<const void *> m_programUsers;
    std::atomic<qint64> m_highCloseDeadlineMs{0};
    std::atomic<qint64> m_lowCloseDeadlineMs{0};
    const int32_t m_channelCount = 2;
    std::array<std::atomic<double>, kMaxChannels> m_levels;
    QThread *m_highThread = nullptr;
    QThread *m_lowThread = nullptr;
    QThread *m_periodThread = nullptr;
    std::thread m_audioThread;
    std::atomic<bool> m_audioRunning{false};
    bool m_audioFromHigh = false; // audio thread only: the stream the last audio came from
    std::map<int32_t, MediaAudioSink *> m_sinks; // guarded by audioSinkLock()
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_shutDown{false};
    std::atomic<int> m_threadsEnded{0};
    std::atomic<quint64> m_highFramesReceived{0};
    std::atomic<quint64> m_lowFramesReceived{0};
    int64_t m_highLastTimecode = -1; // high timer thread only
    int64_t m_lowLastTimecode =
        -1; // low timer thread only // release at each timer thread's end, acquire after joins
};

using MediaConnectionPtr = std::shared_ptr<MediaConnection>;
