// Audio output figures, on a private sound server's null sink (the machine's sound is not
// touched):
//  1. mixing-thread CPU with 20 heard windows (20 sinks over fake connections, in process);
//  2. end-to-end latency, p50 and p99: this program sends a 1 kHz burst every 500 ms as an
//     NDI source, the headless application plays it, parec records the sink's monitor;
//     latency = first recorded sample of a burst - the wall time it was sent (the recording's
//     time base comes from its first delivery, so figures may read up to ~10 ms high);
//  3. glitches per hour with three heard sources (three senders of the same 1025 Hz tone:
//     their sum is one sine, which any gap, lost or repeated block breaks), and how many of
//     them fell in a stall of the whole machine.
// DR_BENCH_SECONDS sets the length of measurements 2 and 3 (default 60 s each). Never fails on
// timing; prints figures.
#include "../../tests/audio/PulseTestEnv.h"
#include "../../tests/media/FakeReceiverConnection.h"
#include "../../tests/media/NdiSourceProcess.h"

#include "audio/AudioOutputMixer.h"
#include "ndi/NdiLibrary.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <thread>
#include <unistd.h>

using namespace audiotest;

namespace {

// CPU seconds (user + system) of this process's thread named `name`, -1 when none.
double threadCpuSeconds(const QString &name)
{
    for (const QString &tid :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + tid + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name.toUtf8())
            continue;
        QFile stat("/proc/self/task/" + tid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> f = stat.readAll().split(')').value(1).trimmed().split(' ');
        return (f.value(11).toDouble() + f.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
    }
    return -1;
}

void mixingCpu(const PulseServer &pulse)
{
    const QProcessEnvironment env = pulse.env();
    for (const QString &key : env.keys())
        qputenv(key.toLocal8Bit(), env.value(key).toLocal8Bit());
    std::vector<std::shared_ptr<FakeReceiverConnection>> connections;
    AudioOutputMixer mixer("bench", 48000, 2, 16, 10, [&](const QString &name) {
        return MediaConnectionPtr(connections.at(name.toInt()));
    });
    mixer.setHoldsStreams(true);
    mixer.StartMixing();
    for (int i = 0; i < 20; ++i) {
        connections.push_back(std::make_shared<FakeReceiverConnection>());
        connections.back()->setSource(0, QString::number(i), "127.0.0.1:5961");
        connections.back()->peak[0] = connections.back()->peak[1] = 0.002f * float(i + 1);
        mixer.AddInputSource(i + 1, i + 1, QString::number(i));
    }
    QTest::qWait(1000);
    const double cpu0 = threadCpuSeconds("audio-mix");
    const quint64 written0 = mixer.framesWritten();
    const quint64 dropped0 = mixer.framesDropped();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(10000);
    const double cpu = threadCpuSeconds("audio-mix") - cpu0;
    std::printf("mixing thread, 20 sinks: %.2f%% of a core over %.1f s (%llu frames written, "
                "%llu dropped, device %s)\n",
                100 * cpu / (wall.elapsed() / 1000.0), wall.elapsed() / 1000.0,
                (unsigned long long)(mixer.framesWritten() - written0),
                (unsigned long long)(mixer.framesDropped() - dropped0),
                qPrintable(mixer.deviceName()));
    mixer.stop();
}

// An NDI source of silence with a 40 ms 1 kHz burst at -20 dBFS every 500 ms, sent in 20 ms
// blocks on a steady grid; the wall-clock ms of each burst's first block are kept.
class BurstSender
{
public:
    bool start(const QString &name)
    {
        const NdiLibrary *lib = NdiLibrary::instance();
        if (!lib)
            return false;
        m_name = name.toStdString();
        NDIlib_send_create_t settings{};
        settings.p_ndi_name = m_name.c_str();
        settings.clock_video = false;
        settings.clock_audio = false;
        m_sender = makeNdiSender(*lib, &settings);
        if (!m_sender)
            return false;
        if (const NDIlib_source_t *src = lib->api().send_get_source_name(m_sender.get()))
            fullName = QString::fromUtf8(src->p_ndi_name);
        m_thread = std::thread([this, lib] { run(*lib); });
        return true;
    }
    ~BurstSender()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    QString fullName;
    std::mutex lock;
    QList<qint64> burstMs; // guarded by lock

private:
    void run(const NdiLibrary &lib)
    {
        constexpr int kBlock = 960;
        std::vector<float> planar(2 * kBlock);
        auto due = std::chrono::steady_clock::now();
        for (int64_t block = 0; !m_stop; ++block) {
            std::this_thread::sleep_until(due);
            due += std::chrono::milliseconds(20);
            const bool burst = block % 25 < 2; // 40 ms of every 500 ms
            for (int i = 0; i < kBlock; ++i) {
                const double t = double((block % 25) * kBlock + i) / kRate;
                const float v = burst ? float(0.1 * std::sin(2 * std::numbers::pi * 1000 * t)) : 0;
                planar[i] = planar[kBlock + i] = v;
            }
            NDIlib_audio_frame_v2_t audio{};
            audio.sample_rate = kRate;
            audio.no_channels = 2;
            audio.no_samples = kBlock;
            audio.timecode = block * 200000;
            audio.p_data = planar.data();
            audio.channel_stride_in_bytes = kBlock * 4;
            if (block % 25 == 0) {
                std::lock_guard<std::mutex> guard(lock);
                burstMs.append(QDateTime::currentMSecsSinceEpoch());
            }
            lib.api().send_send_audio_v2(m_sender.get(), &audio);
        }
    }
    std::string m_name;
    NdiSender m_sender;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

bool post(drtest::AppInstance &app, const QString &path, const QJsonObject &body)
{
    return app.post(path, body).json().value("result") == "ok";
}

bool hear(drtest::AppInstance &app, int position, const QString &source)
{
    return post(app, "/api/output/setSource.json",
                {{"type", "source"}, {"position", position}, {"stream_id", source}}) &&
           post(app, "/api/output/window_audio_set.json",
                {{"project_id", 1}, {"position", position}, {"volume", "on"}});
}

bool waitListed(drtest::AppInstance &app, const QString &name)
{
    return drtest::waitUntil(
        [&] { return app.get("/api/source/get.json").body.contains(name.toUtf8()); }, 10000);
}

double percentile(QList<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v[qMin(v.size() - 1, int(p * v.size()))];
}

void endToEnd(PulseServer &pulse, int seconds)
{
    const QProcessEnvironment env = pulse.appEnv();
    drtest::AppInstance app;
    BurstSender bursts;
    const char *failed =
        !bursts.start(mediatest::uniqueName("bursts")) ? "burst sender"
        : !app.start({}, env)                          ? "application"
        : !waitListed(app, bursts.fullName)            ? "listing"
        : !post(app, "/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}}) ||
                !hear(app, 4, bursts.fullName)
            ? "window"
            : nullptr;
    if (failed) {
        std::printf("end to end: could not set up the %s\n", failed);
        return;
    }
    Capture capture(pulse);
    capture.start();
    QTest::qWait(seconds * 1000);
    QList<double> latencies;
    {
        std::lock_guard<std::mutex> guard(bursts.lock);
        const QVector<double> x = capture.channel(0, capture.frames());
        for (qint64 sentMs : bursts.burstMs) {
            const qint64 from = (sentMs - capture.startMs()) * kRate / 1000;
            if (from < 0 || from + kRate / 2 > x.size())
                continue;
            for (qint64 i = from; i < from + kRate / 2; ++i) {
                if (std::abs(x[i]) > 300) {
                    latencies.append(double(i - from) * 1000 / kRate);
                    break;
                }
            }
        }
    }
    if (qEnvironmentVariableIsSet("DR_DBG")) {
        QString out;
        pulse.pactl({"list", "sink-inputs"}, &out);
        std::printf("%s\n", qPrintable(out));
        pulse.pactl({"list", "sinks"}, &out);
        std::printf("%s\n", qPrintable(out));
    }
    std::printf("latency, burst sent to sound at the sink: p50 %.1f ms, p99 %.1f ms over %lld "
                "bursts\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), qint64(latencies.size()));
    capture.stop();
    post(app, "/api/output/deleteAll.json", {});

    // Three senders of one tone, heard together.
    mediatest::NdiSourceProcess sources[3];
    for (int i = 0; i < 3; ++i) {
        if (!sources[i].start("tone",
                              {"--tone", "1025", "--level", "-30", "--resolution", "160x120",
                               "--fps", "50", "--seconds", QString::number(seconds + 60)}) ||
            !waitListed(app, sources[i].fullName()) || !hear(app, i + 1, sources[i].fullName())) {
            std::printf("glitches: could not set up the three sources\n");
            return;
        }
    }
    // A thread that wakes every 5 ms notes when it woke over 20 ms late: the whole machine
    // stood still (the sound server too, whose null sink loses audio on a stall of 30 ms).
    // Glitches during such stalls are told apart from the rest.
    struct Stall
    {
        qint64 endMs; // wall clock
        qint64 lateMs;
    };
    std::atomic<bool> canaryRunning{true};
    QList<Stall> stalls; // canary thread until joined
    std::thread canary([&] {
        while (canaryRunning) {
            const auto before = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const qint64 lateMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - before)
                                      .count() -
                                  5;
            if (lateMs > 20)
                stalls.append({QDateTime::currentMSecsSinceEpoch(), lateMs});
        }
    });
    Capture tone(pulse);
    tone.start();
    QTest::qWait(2000);
    const double peak = peakAbs(tone.last(500));
    const qint64 skipped = tone.frames();
    tone.take();
    SineContinuity check(1025, qMax(30.0, 0.05 * peak));
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < seconds * 1000) {
        QTest::qWait(1000);
        check.feed(tone.take());
    }
    canaryRunning = false;
    canary.join();
    // A gap shows as marks 10 ms apart; marks within 200 ms are one gap. Its wall time comes
    // from the recording's time base (a few ms late), hence the 60 ms of slack.
    QList<qint64> gapsMs;
    for (qint64 at : check.glitches()) {
        const qint64 ms = tone.startMs() + (skipped + at) * 1000 / kRate;
        if (gapsMs.isEmpty() || ms - gapsMs.last() > 200)
            gapsMs.append(ms);
    }
    int duringStalls = 0;
    qint64 longestStallMs = 0;
    for (const Stall &stall : stalls)
        longestStallMs = qMax(longestStallMs, stall.lateMs);
    for (qint64 ms : gapsMs)
        duringStalls += std::any_of(stalls.begin(), stalls.end(), [&](const Stall &stall) {
            return ms >= stall.endMs - stall.lateMs - 60 && ms <= stall.endMs + 60;
        });
    const double hours = double(check.frames()) / kRate / 3600;
    std::printf("glitches with 3 sources: %lld gap(s) in %.0f s (%.1f per hour; summed tone peak "
                "%.0f); %d of them while the machine stood still (%lld stalls over 20 ms, the "
                "longest %lld ms)\n",
                qint64(gapsMs.size()), hours * 3600, hours > 0 ? gapsMs.size() / hours : -1.0, peak,
                duringStalls, qint64(stalls.size()), longestStallMs);
    if (qEnvironmentVariableIsSet("DR_DBG")) {
        for (const QByteArray &line : drtest::readLogs(app.dataDir()).split('\n'))
            if (line.contains("audio output"))
                std::printf("%s\n", line.constData());
        const QString output = app.process().output();
        std::printf("ring buffer overflows: %lld\n", qint64(output.count("getFreeSize")));
        for (const QString &line : output.split('\n'))
            if (line.contains("frame sync") || line.contains("ran out") || line.contains("ran dry"))
                std::printf("%s\n", qPrintable(line));
        const auto wall = [](qint64 ms) {
            return QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss.zzz").toUtf8();
        };
        for (qint64 ms : gapsMs) // to line up with the logs
            std::printf("gap at %s\n", wall(ms).constData());
        for (const Stall &stall : stalls)
            std::printf("machine stalled %lld ms until %s\n", stall.lateMs,
                        wall(stall.endMs).constData());
    }
    app.stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    mediatest::isolatedRuntimeEnv(); // before the runtime is first loaded
    qputenv("DESK_RECORDER_NDI_INTERFACES", "none");
    const int seconds = qEnvironmentVariableIntValue("DR_BENCH_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("DR_BENCH_SECONDS")
                            : 60;
    PulseServer pulse;
    if (!pulse.start(true)) {
        std::printf("no private sound server (pulseaudio missing?)\n");
        return 1;
    }
    mixingCpu(pulse);
    endToEnd(pulse, seconds);
    MediaReaper::drain();
    return 0;
}
