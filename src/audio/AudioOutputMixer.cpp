#include "audio/AudioOutputMixer.h"

#include "audio/AudioMixSink.h"
#include "audio/mixengine/AudioFrame.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"

#include <QAudioSink>
#include <QDebug>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <future>
#include <limits>
#include <pthread.h>

namespace {

qint64 steadyUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArrayList idsOf(const QList<QAudioDevice> &devices)
{
    QByteArrayList ids;
    for (const QAudioDevice &device : devices)
        ids.append(device.id());
    return ids;
}

} // namespace

AudioOutputMixer::AudioOutputMixer(const QString &name, uint32_t sampleRateHz, uint32_t channels,
                                   uint32_t bitsPerSample, uint32_t frameDurationMs,
                                   ConnectionLookup lookup, QObject *parent)
    : QObject(parent), m_name(name), m_sampleRateHz(sampleRateHz), m_channels(channels),
      m_bitsPerSample(bitsPerSample), m_frameDurationMs(frameDurationMs),
      m_frameBytes(sampleRateHz * 10 / 1000 * channels * 2), m_lookup(std::move(lookup)),
      m_engine(dr::audiomix::AudioMixerImpl::Create(
          std::make_unique<dr::audiomix::AudioOutput>(sampleRateHz)))
{
    m_format.setSampleRate(int(sampleRateHz));
    m_format.setChannelCount(int(channels));
    m_format.setSampleFormat(QAudioFormat::Int16);

    // The first enumeration on the main thread: Qt's sound-server connection is made here,
    // owned by the main thread rather than by the watcher, which ends before the process.
    const QList<QAudioDevice> devices = QMediaDevices::audioOutputs();
    if (devices.isEmpty())
        qInfo() << "There is no available device!";

    m_watcherThread = new QThread(this);
    m_watcherThread->setObjectName(QStringLiteral("audio-watcher"));
    m_watcherTimer = new QTimer;
    m_watcherTimer->setInterval(kWatchIntervalMs);
    m_watcherTimer->moveToThread(m_watcherThread);
    // The output is created, stopped and deleted on the watcher thread, which owns it: both
    // handlers run there (the thread emits started and finished itself).
    std::promise<void> opened; // the thread starts once, so the reference cannot dangle
    connect(
        m_watcherThread, &QThread::started, m_watcherTimer,
        [this, &opened, timer = m_watcherTimer] {
            {
                std::lock_guard<std::mutex> lock(m_outputLock);
                const QList<QAudioDevice> now = QMediaDevices::audioOutputs();
                m_deviceIds = idsOf(now);
                if (!now.isEmpty())
                    openFirstDeviceLocked(now);
                qInfo() << "device info valid definition :" << m_device.isNull();
            }
            timer->start();
            opened.set_value();
        },
        Qt::DirectConnection);
    connect(
        m_watcherThread, &QThread::finished, m_watcherTimer,
        [this, timer = m_watcherTimer] {
            timer->stop();
            {
                std::lock_guard<std::mutex> lock(m_outputLock);
                closeOutputLocked();
            }
            m_watcherDone.set_value();
        },
        Qt::DirectConnection);
    connect(m_watcherTimer, &QTimer::timeout, this, &AudioOutputMixer::checkAudioDeviceValid,
            Qt::DirectConnection);
    m_watcherThread->start();
    opened.get_future().wait();
}

AudioOutputMixer::~AudioOutputMixer()
{
    stop();
    qDebug() << "~AudioOutputMixer";
}

// ------------------------------------------------------------------ mixing thread

void AudioOutputMixer::StartMixing()
{
    if (m_stopped || m_mixThread.joinable())
        return;
    m_running = true;
    m_mixThread = std::thread([this] { mixLoop(); });
}

void AudioOutputMixer::StopMixing()
{
    if (!m_mixThread.joinable())
        return;
    m_running = false;
    m_mixThread.join();
}

void AudioOutputMixer::mixLoop()
{
    pthread_setname_np(pthread_self(), "audio-mix"); // found by name in diagnostics
    qint64 deadlineUs = steadyUs() + kMixPeriodUs;
    dr::audiomix::AudioFrame frame;
    qint64 previousLateUs = 0;
    while (m_running) {
        const qint64 nowUs = steadyUs();
        if (nowUs >= deadlineUs) {
            // Counted once per stall: the passes that catch up after it are late by less.
            const qint64 lateUs = nowUs - deadlineUs;
            if (lateUs > kLateMixUs && m_mixing) {
                if (previousLateUs <= kLateMixUs)
                    ++m_lateMixes;
                m_worstLateMixUs = std::max<qint64>(m_worstLateMixUs, lateUs);
            }
            previousLateUs = lateUs;
            frame.Reset();
            const bool mixed = m_engine->Mix(m_channels, &frame);
            m_mixing = mixed; // an idle device while nothing is heard is no gap
            if (mixed)
                writeFrame(frame.Data());
            // A fixed step: a thread that fell behind mixes back to back until it caught up.
            deadlineUs += kMixPeriodUs;
            continue;
        }
        // One long sleep to shortly before the deadline, then 100 us steps: the period holds
        // without relying on timer precision, and the thread wakes a few times per period
        // instead of a hundred.
        const qint64 leftUs = deadlineUs - nowUs;
        std::this_thread::sleep_for(std::chrono::microseconds(leftUs > 1000 ? leftUs - 500 : 100));
    }
}

void AudioOutputMixer::writeFrame(const int16_t *data)
{
    std::lock_guard<std::mutex> lock(m_outputLock);
    const qsizetype freeBytes = m_pushDevice ? m_output->bytesFree() : -1;
    // No device, or a stream whose sink vanished (-1): the frame is lost; the watcher
    // reopens the output.
    if (freeBytes < 0) {
        ++m_framesDropped;
        return;
    }
    // What the device holds beyond what it has played. It grows when the sound server
    // stalls while it is fed (it does for about half a second after a stream starts), and
    // slowly when the device plays slower than this clock. When its least value over a
    // whole window is above kMaxBacklogUs, the frames above kTrimmedBacklogUs are let go
    // (one skip), so the delay stays bounded. The server's free-space figure cannot tell:
    // it reads 0 whenever its target fill is reached.
    if (m_framesToLetGo > 0) {
        --m_framesToLetGo;
        ++m_framesDropped;
        return;
    }
    const qint64 backlogUs = m_writtenUs - m_output->processedUSecs();
    m_windowMinUs = std::min(m_windowMinUs, backlogUs);
    if (++m_windowWrites >= kBacklogWindowWrites) {
        const qint64 least = m_windowMinUs;
        m_windowWrites = 0;
        m_windowMinUs = std::numeric_limits<qint64>::max();
        // Once, when the stream has settled after its start-up stall: what the stall left
        // above the steady reading would otherwise stay as added delay for the whole show.
        const bool settling = !m_settled && m_writtenUs >= kSettleAfterUs;
        m_settled = m_settled || settling;
        if (least > (settling ? kSettledBacklogUs : kMaxBacklogUs)) {
            m_framesToLetGo = int((least - kTrimmedBacklogUs) / kMixPeriodUs);
            qInfo() << "audio output: the device held" << least / 1000 << "ms; letting"
                    << m_framesToLetGo * kMixPeriodUs / 1000 << "ms go to keep the delay short";
        }
    }
    m_pushDevice->write(reinterpret_cast<const char *>(data), m_frameBytes);
    m_writtenUs += kMixPeriodUs;
    ++m_framesWritten;
}

// ------------------------------------------------------------------ output device

void AudioOutputMixer::reportGaps()
{
    constexpr qint64 kReportEveryUs = 10000000;
    const qint64 nowUs = steadyUs();
    {
        std::lock_guard<std::mutex> lock(m_sinkLock);
        for (auto &[position, entry] : m_entries) {
            const uint64_t dry = entry.sink->source()->dryRuns();
            if (dry == entry.dryRunsReported || nowUs - entry.dryRunsReportedAtUs < kReportEveryUs)
                continue;
            qInfo().noquote() << QStringLiteral("audio output: window %1 (%2) ran out of audio "
                                                "%3 time(s) so far; its source's audio came late")
                                     .arg(position)
                                     .arg(entry.sourceName)
                                     .arg(dry);
            entry.dryRunsReported = dry;
            entry.dryRunsReportedAtUs = nowUs;
        }
    }
    const quint64 idles = m_deviceIdles;
    if (idles != m_deviceIdlesReported && nowUs - m_deviceIdlesReportedAtUs >= kReportEveryUs) {
        qInfo().noquote() << QStringLiteral("audio output: the device ran dry %1 time(s) so far; "
                                            "the mixing thread came late")
                                 .arg(idles);
        m_deviceIdlesReported = idles;
        m_deviceIdlesReportedAtUs = nowUs;
    }
    const quint64 lateMixes = m_lateMixes;
    if (lateMixes != m_lateMixesReported && nowUs - m_lateMixesReportedAtUs >= kReportEveryUs) {
        qInfo().noquote() << QStringLiteral("audio output: the mixing thread started %1 time(s) "
                                            "over %2 ms late (at worst %3 ms); the sound may "
                                            "have broken off (the machine was busy)")
                                 .arg(lateMixes)
                                 .arg(kLateMixUs / 1000)
                                 .arg(m_worstLateMixUs / 1000);
        m_lateMixesReported = lateMixes;
        m_lateMixesReportedAtUs = nowUs;
    }
}

void AudioOutputMixer::checkAudioDeviceValid()
{
    reportGaps();
    const QList<QAudioDevice> devices = QMediaDevices::audioOutputs();
    const QByteArrayList ids = idsOf(devices);
    std::lock_guard<std::mutex> lock(m_outputLock);
    if (ids == m_deviceIds && !outputBrokenLocked())
        return;
    m_deviceIds = ids;
    closeOutputLocked();
    if (!devices.isEmpty()) {
        openFirstDeviceLocked(devices);
        qInfo().noquote() << "--------------------- create new audio output device[0].name :"
                          << devices.first().description() << (m_pushDevice == nullptr)
                          << "audioDeviceInfo is null :" << m_device.isNull()
                          << "audioDeviceinfo name :" << m_device.description()
                          << "devicechanged :" << false;
    } else {
        qInfo() << "audio output: no output device left; mixed audio is discarded";
    }
}

bool AudioOutputMixer::outputBrokenLocked() const
{
    return m_output && m_output->bytesFree() < 0;
}

void AudioOutputMixer::openFirstDeviceLocked(const QList<QAudioDevice> &devices)
{
    m_device = devices.first();
    createOutputLocked();
}

void AudioOutputMixer::createOutputLocked()
{
    if (m_device.isNull() || !m_device.isFormatSupported(m_format)) {
        qInfo().nospace() << "Unsupported audio format: sampling=" << m_sampleRateHz
                          << ", channels=" << m_channels;
        return;
    }
    m_output = new QAudioSink(m_device, m_format);
    m_output->setBufferSize(kDeviceBufferBytes);
    connect(m_output, &QAudioSink::stateChanged, this, &AudioOutputMixer::handleAudioStateChanged,
            Qt::DirectConnection);
    m_writtenUs = 0;
    m_settled = false;
    m_windowWrites = 0;
    m_framesToLetGo = 0;
    m_windowMinUs = std::numeric_limits<qint64>::max();
    m_pushDevice = m_output->start();
    if (!m_pushDevice) {
        qWarning().noquote() << "audio output: cannot open" << m_device.description() << "- error"
                             << m_output->error();
        closeOutputLocked();
        return;
    }
    qInfo().noquote() << QStringLiteral("audio output: playing on %1 (%2)")
                             .arg(m_device.description(), QString::fromUtf8(m_device.id()));
}

void AudioOutputMixer::closeOutputLocked()
{
    m_pushDevice = nullptr;
    if (!m_output)
        return;
    m_output->stop();
    delete m_output;
    m_output = nullptr;
}

void AudioOutputMixer::handleAudioStateChanged(QAudio::State newState)
{
    if (newState == QAudio::IdleState && m_running && m_mixing)
        ++m_deviceIdles;
}

bool AudioOutputMixer::hasOutput() const
{
    std::lock_guard<std::mutex> lock(m_outputLock);
    return m_pushDevice != nullptr;
}

QString AudioOutputMixer::deviceName() const
{
    std::lock_guard<std::mutex> lock(m_outputLock);
    return m_pushDevice ? m_device.description() : QString();
}

// ------------------------------------------------------------------ sources

int AudioOutputMixer::AddInputSource(int id, int position, const QString &sourceName)
{
    if (m_stopped)
        return -1;
    {
        std::lock_guard<std::mutex> lock(m_sinkLock);
        const auto it = m_entries.find(position);
        if (it != m_entries.end() && it->second.sourceName == sourceName)
            return -1;
    }
    RemoveInputSource(position);

    MediaConnectionPtr connection = m_lookup ? m_lookup(sourceName) : MediaConnectionPtr();
    if (!connection) {
        qInfo().noquote() << "audio output: window" << position << "source" << sourceName
                          << "has no connection; not heard";
        return -1;
    }
    auto sink = std::make_unique<AudioMixSink>(id);
    sink->Init(m_sampleRateHz, m_channels, m_bitsPerSample, m_frameDurationMs);
    sink->start();
    // Registered but blocked: the connection's pushes are dropped until the engine reads.
    connection->AddAudioSink(id, sink.get());
    connection->start();
    connection->setAudioUser(true, sink.get());
    if (m_holdsStreams)
        connection->addVideoUser(MediaConnection::Low, sink.get());

    std::lock_guard<std::mutex> lock(m_sinkLock);
    if (!m_engine || !sink->source()) {
        qWarning() << "Error, AddInputSource audio_ptr is nil";
        Entry orphan{std::move(sink), connection, sourceName, m_holdsStreams};
        detachLocked(orphan);
        return -1;
    }
    sink->source()->SetName(std::to_string(id));
    m_engine->AddSource(sink->source());
    sink->unblock();
    Entry &entry = m_entries[position];
    entry.sink = std::move(sink);
    entry.connection = std::move(connection);
    entry.sourceName = sourceName;
    entry.holdsStream = m_holdsStreams;
    qInfo().noquote() << "audio output: window" << position << "heard:" << sourceName;
    return 0;
}

int AudioOutputMixer::RemoveInputSource(int position)
{
    std::lock_guard<std::mutex> lock(m_sinkLock);
    const auto it = m_entries.find(position);
    if (it == m_entries.end())
        return -1;
    qInfo().noquote() << "audio output: window" << position
                      << "no longer heard:" << it->second.sourceName;
    detachLocked(it->second);
    m_entries.erase(it);
    return 0;
}

void AudioOutputMixer::detachLocked(Entry &entry)
{
    AudioMixSink *sink = entry.sink.get();
    // The connection stops writing into the sink, then the engine stops reading it: neither
    // thread can reach the sink once it is destroyed below.
    entry.connection->RemoveAudioSink(sink->id());
    entry.connection->setAudioUser(false, sink);
    if (entry.holdsStream)
        entry.connection->removeVideoUser(MediaConnection::Both, sink);
    if (m_engine && sink->source())
        m_engine->RemoveSource(sink->source());
    entry.sink.reset();
    entry.connection.reset();
}

int AudioOutputMixer::inputCount() const
{
    std::lock_guard<std::mutex> lock(m_sinkLock);
    return int(m_entries.size());
}

// ------------------------------------------------------------------ shutdown

void AudioOutputMixer::stop()
{
    m_stopped = true;
    if (m_watcherThread && m_watcherThread->isRunning()) {
        m_watcherThread->quit(); // its finished handler closes the output on that thread
        // The handler's end, seen through a standard primitive (race checkers do not see
        // QThread::wait as a join).
        m_watcherDone.get_future().wait();
        m_watcherThread->wait();
    }
    delete m_watcherTimer;
    m_watcherTimer = nullptr;
    StopMixing();
    std::lock_guard<std::mutex> lock(m_sinkLock);
    for (auto &[position, entry] : m_entries)
        detachLocked(entry);
    m_entries.clear();
}
