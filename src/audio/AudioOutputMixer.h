// Plays the windows whose audio is on through the machine's sound output: one AudioMixSink
// per heard window, registered with the window's media connection (which pushes the
// source's audio into it) and with the mixing engine; a mixing thread asks the engine for
// one 10 ms frame every 10 ms and writes it to the output device; a watcher thread looks at
// the list of output devices every 500 ms and reopens the output when it changed.
//
// Device choice: the first device of QMediaDevices::audioOutputs() (not the default one),
// opened at construction and reopened whenever the list of devices changes or the open
// stream broke (its server-side sink went away). Qt 6.4 never signals device changes, so
// polling is the only way to notice them.
//
// Threads:
//   main thread    construction, AddInputSource, RemoveInputSource, stop, destruction
//   mixing thread  Mix and the device write, every 10 ms (std::thread)
//   watcher thread checkAudioDeviceValid every 500 ms; it also creates, stops and deletes
//                  the QAudioSink, so the sink (whose backend runs timers) lives and dies
//                  on one thread with an event loop
//   audio threads  of the media connections: AudioMixSink::Write under the connections'
//                  process-wide audio sink lock
// Locks, in this order:
//   m_sinkLock     guards m_entries (AddInputSource, RemoveInputSource, stop). Held while the
//                  connections' audio sink lock is taken (RemoveAudioSink): always first.
//   m_outputLock   guards m_output, m_pushDevice, m_device, m_deviceIds and the
//                  backlog guard (m_writtenUs .. m_framesToLetGo);
//                  held by the mixing thread around each device write and by the watcher
//                  around each change, so a write never reaches a deleted device. Never
//                  held with m_sinkLock.
//   The engine's own lock is taken inside AddSource/RemoveSource/Mix; the mixing thread
//   holds no mixer lock while it mixes.
#pragma once

#include "audio/mixengine/AudioMixer.h"
#include "audio/mixengine/RefPtr.h"
#include "media/MediaConnection.h"

#include <QAudio>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class AudioMixSink;
class QAudioSink;
class QIODevice;
class QThread;
class QTimer;

class AudioOutputMixer : public QObject
{
    Q_OBJECT
public:
    // The media connection of a source name, or none when the source is unknown.
    using ConnectionLookup = std::function<MediaConnectionPtr(const QString &sourceName)>;

    static constexpr int kWatchIntervalMs = 500;
    static constexpr int kMixPeriodUs = 10000;
    // Device buffer: 40 ms at 48000 Hz stereo 16-bit. The sound server starts playing once
    // it holds this much and keeps about this much queued, so it is the output's share of
    // the latency; 40 ms rides out a late mixing pass on a loaded machine.
    static constexpr qsizetype kDeviceBufferBytes = 7680;
    // Backlog guard: the least backlog of each window of writes is checked; above the
    // maximum, the audio above the trimmed level is let go at once. The backlog read from
    // the sound server moves by 20 to 30 ms while it plays steadily (its latency estimate
    // moves), so the maximum sits well above the trimmed level: a guard at 80 ms cut 30 ms
    // out of steady audio every few minutes.
    static constexpr int kBacklogWindowWrites = 20; // 200 ms
    static constexpr qint64 kMaxBacklogUs = 110000;
    static constexpr qint64 kTrimmedBacklogUs = 50000;
    // Once per stream, after this much audio was written (its start-up stall is over): a
    // backlog above kSettledBacklogUs is trimmed, so the stall's rest is no lasting delay.
    static constexpr qint64 kSettleAfterUs = 3000000;
    static constexpr qint64 kSettledBacklogUs = 70000;

    // Opens the first output device (if any) and starts the watcher; the control service
    // passes 48000 Hz, 2 channels, 16 bits, 10 ms and starts mixing right after.
    AudioOutputMixer(const QString &name, uint32_t sampleRateHz, uint32_t channels,
                     uint32_t bitsPerSample, uint32_t frameDurationMs, ConnectionLookup lookup,
                     QObject *parent = nullptr);
    ~AudioOutputMixer() override;

    // With true, the mixer itself keeps a low-bandwidth stream of every heard source open
    // (as a window would), for when no video window holds the connection (headless).
    // Applies to sources added afterwards.
    void setHoldsStreams(bool hold) { m_holdsStreams = hold; }

    // Starts the mixing thread; nothing when it runs or after stop().
    void StartMixing();
    // Ends the mixing thread and joins it; nothing when none runs.
    void StopMixing();
    // Full stop for shutdown: the watcher ends (the output is closed on its thread), the
    // mixing thread ends, and every sink is detached from its connection and destroyed.
    // Threads are joined before it returns. Idempotent; nothing can be added afterwards.
    void stop();

    // Adds the audio of `sourceName` shown at window `position` under sink `id` (unique
    // among live sinks). -1 when the position already plays that source, when the source
    // has no connection (an earlier source at the position is removed first), or after
    // stop(); 0 when added.
    int AddInputSource(int id, int position, const QString &sourceName);
    // Removes the sink of `position`: 0, or -1 when the position has none.
    int RemoveInputSource(int position);

    // Diagnostics (any thread).
    bool hasOutput() const;
    QString deviceName() const;
    int inputCount() const;
    quint64 framesWritten() const { return m_framesWritten; }
    quint64 framesDropped() const { return m_framesDropped; }

protected slots:
    // Output state changes (any thread; direct connection): counts underruns.
    void handleAudioStateChanged(QAudio::State newState);
    // One watcher tick (watcher thread).
    void checkAudioDeviceValid();

private:
    struct Entry
    {
        std::unique_ptr<AudioMixSink> sink;
        MediaConnectionPtr connection; // held so the sink can always be detached from it
        QString sourceName;
        bool holdsStream = false;
        uint64_t dryRunsReported = 0; // watcher thread, m_sinkLock
        qint64 dryRunsReportedAtUs = 0;
    };

    void mixLoop();
    // Watcher thread: logs the gaps heard since the last report (a window whose audio ran
    // dry, the device running dry), at most one line per cause every 10 s.
    void reportGaps();
    void writeFrame(const int16_t *data);
    // Watcher thread, m_outputLock held.
    void openFirstDeviceLocked(const QList<QAudioDevice> &devices);
    void createOutputLocked();
    void closeOutputLocked();
    bool outputBrokenLocked() const;
    // m_sinkLock held.
    void detachLocked(Entry &entry);

    const QString m_name;
    const uint32_t m_sampleRateHz;
    const uint32_t m_channels;
    const uint32_t m_bitsPerSample;
    const uint32_t m_frameDurationMs;
    const uint32_t m_frameBytes; // one 10 ms frame: rate / 100 * channels * 2
    const ConnectionLookup m_lookup;
    dr::audiomix::RefPtr<dr::audiomix::AudioMixer> m_engine;
    QAudioFormat m_format;
    bool m_holdsStreams = false; // main thread
    bool m_stopped = false;      // main thread

    mutable std::mutex m_sinkLock;
    std::map<int, Entry> m_entries; // position -> heard source; guarded by m_sinkLock

    mutable std::mutex m_outputLock;
    QAudioSink *m_output = nullptr;    // owned; created and deleted on the watcher thread
    QIODevice *m_pushDevice = nullptr; // owned by m_output
    QAudioDevice m_device;             // the selected device
    QByteArrayList m_deviceIds;        // the device list at the last check
    qint64 m_writtenUs = 0;            // audio written to the open output
    bool m_settled = false;            // the one check after the start-up stall was made
    qint64 m_windowMinUs = 0;          // least backlog in the current window
    int m_windowWrites = 0;
    int m_framesToLetGo = 0;

    std::thread m_mixThread;
    std::atomic<bool> m_running{false};
    std::atomic<quint64> m_framesWritten{0};
    std::atomic<quint64> m_framesDropped{0}; // mixed but not written (no device, or let go)
    std::atomic<bool> m_mixing{false};       // the last pass had something to play
    std::atomic<quint64> m_deviceIdles{0};   // the output went idle while playing (underrun)
    // Mixing passes that started more than kLateMixUs after their slot while playing: the
    // device's backlog (about 50 ms) may not have covered them. The worst such delay, in us.
    static constexpr qint64 kLateMixUs = 30000;
    std::atomic<quint64> m_lateMixes{0};
    std::atomic<qint64> m_worstLateMixUs{0};
    quint64 m_lateMixesReported = 0;      // watcher thread
    qint64 m_lateMixesReportedAtUs = 0;   // watcher thread
    quint64 m_deviceIdlesReported = 0;    // watcher thread
    qint64 m_deviceIdlesReportedAtUs = 0; // watcher thread

    QThread *m_watcherThread = nullptr; // child of the mixer
    QTimer *m_watcherTimer = nullptr;   // no parent; lives on m_watcherThread
    std::promise<void> m_watcherDone;   // set by the watcher's last act (output closed)
};
