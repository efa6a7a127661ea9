// A private sound server for audio tests and benchmarks: PulseAudio in its own runtime
// folder (the machine's own sound server and devices untouched), with or without a null
// sink "out", ended by PID; parec records the sink's monitor as raw 48 kHz stereo s16le;
// tone analysis of what was recorded.
#pragma once

#include "TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>
#include <cmath>
#include <numbers>

namespace audiotest {

constexpr int kRate = 48000;

class PulseServer
{
public:
    // Starts the server (with the sink "out" when `withSink`) and waits until it answers.
    bool start(bool withSink)
    {
        if (!m_dir.isValid())
            return false;
        QFile conf(m_dir.path() + "/client.conf");
        if (!conf.open(QIODevice::WriteOnly) || conf.write("autospawn = no\n") < 0)
            return false;
        conf.close();
        QStringList args{"--daemonize=no",
                         "--exit-idle-time=-1",
                         "-n",
                         "--use-pid-file=no",
                         "--log-target=stderr",
                         "--load=module-native-protocol-unix auth-anonymous=1"};
        if (withSink)
            args << "--load=module-null-sink sink_name=out rate=48000";
        QProcessEnvironment serverEnv = env();
        serverEnv.insert("HOME", m_dir.path()); // its state files stay in the folder too
        if (!m_server.start("pulseaudio", args, serverEnv))
            return false;
        return drtest::waitUntil([&] { return pactl({"info"}) == 0; }, 10000);
    }
    // Client environment: this server only, never an autospawned one.
    QProcessEnvironment env() const
    {
        QProcessEnvironment e;
        e.insert("XDG_RUNTIME_DIR", m_dir.path());
        e.insert("PULSE_SERVER", "unix:" + m_dir.path() + "/pulse/native");
        e.insert("PULSE_CLIENTCONFIG", m_dir.path() + "/client.conf");
        return e;
    }
    // The application's environment: our isolated runtime and this server.
    QProcessEnvironment appEnv() const
    {
        QProcessEnvironment e = drtest::isolatedRuntimeEnv();
        e.insert("DR_DEVICE_PROBE_PORT", QString::number(drtest::freeTcpPort()));
        const QProcessEnvironment client = env();
        for (const QString &key : client.keys())
            e.insert(key, client.value(key));
        return e;
    }
    int pactl(const QStringList &args, QString *out = nullptr) const
    {
        QProcess p;
        p.setProcessEnvironment(withSystem(env()));
        p.start("pactl", args);
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    bool loadSink()
    {
        QString index;
        if (pactl({"load-module", "module-null-sink", "sink_name=out", "rate=48000"}, &index) != 0)
            return false;
        m_sinkModule = index;
        return true;
    }
    bool unloadSink() { return pactl({"unload-module", m_sinkModule}) == 0; }
    static QProcessEnvironment withSystem(const QProcessEnvironment &extra)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &key : extra.keys())
            e.insert(key, extra.value(key));
        return e;
    }

private:
    QTemporaryDir m_dir;
    drtest::ChildProcess m_server;
    QString m_sinkModule;
};

// parec on "out.monitor"; the samples arrive as the event loop runs.
class Capture
{
public:
    explicit Capture(const PulseServer &server) : m_env(PulseServer::withSystem(server.env())) {}
    ~Capture() { stop(); }
    bool start()
    {
        m_data.clear();
        m_firstDataMs = 0;
        m_bytes = 0;
        m_process.setProcessEnvironment(m_env);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            const QByteArray chunk = m_process.readAllStandardOutput();
            m_bytes += chunk.size();
            // A chunk arrives after its last frame was recorded: the earliest such bound
            // over all chunks is the best time base.
            const qint64 base = QDateTime::currentMSecsSinceEpoch() - m_bytes * 1000 / (4 * kRate);
            m_firstDataMs = m_firstDataMs == 0 ? base : qMin(m_firstDataMs, base);
            m_data += chunk;
        });
        m_process.start("parec", {"-d", "out.monitor", "--rate=48000", "--channels=2",
                                  "--format=s16le", "--raw", "--latency-msec=10"});
        return m_process.waitForStarted(5000) &&
               drtest::waitUntil([&] { return m_firstDataMs != 0; }, 5000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate(); // by PID: it is our own child
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // Stereo frames recorded so far.
    qint64 frames() const { return m_data.size() / 4; }
    // Wall-clock ms (epoch) of recorded frame 0 (of the whole recording, take() or not).
    qint64 startMs() const { return m_firstDataMs; }
    // Channel `c` of frames [from, from + count) as doubles.
    QVector<double> channel(qint64 from, qint64 count, int c = 0) const
    {
        QVector<double> out;
        const auto *s = reinterpret_cast<const int16_t *>(m_data.constData());
        for (qint64 i = qMax<qint64>(0, from); i < qMin(from + count, frames()); ++i)
            out.append(s[2 * i + c]);
        return out;
    }
    QVector<double> last(int ms, int c = 0) const
    {
        const qint64 n = qint64(ms) * kRate / 1000;
        return channel(frames() - n, n, c);
    }
    const QByteArray &raw() const { return m_data; }
    // Hands over what was recorded since the last call and forgets it (long runs).
    QByteArray take()
    {
        QByteArray out = m_data;
        m_data.clear();
        m_data.reserve(1);
        return out;
    }

private:
    QProcessEnvironment m_env;
    QProcess m_process;
    QByteArray m_data;
    qint64 m_firstDataMs = 0; // time base, see startMs()
    qint64 m_bytes = 0;       // received in all
};

// Peak amplitude (dB re 16-bit full scale) of the tone near `hz` in `x`: a Hann-windowed
// DFT summed over +-30 Hz, so a slightly pulled frequency still counts whole. `foundHz`
// gets the power-weighted centre of that band.
inline double toneDb(const QVector<double> &x, double hz, double *foundHz = nullptr)
{
    const int n = int(x.size());
    if (n < 64)
        return -200;
    double windowPower = 0;
    QVector<double> w(n);
    for (int i = 0; i < n; ++i) {
        w[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1));
        windowPower += w[i] * w[i];
    }
    const double binHz = double(kRate) / n;
    double power = 0, centre = 0;
    for (double f = hz - 30; f <= hz + 30 + 1e-9; f += binHz) {
        double re = 0, im = 0;
        const double step = 2 * std::numbers::pi * f / kRate;
        for (int i = 0; i < n; ++i) {
            re += x[i] * w[i] * std::cos(step * i);
            im -= x[i] * w[i] * std::sin(step * i);
        }
        const double p = (re * re + im * im);
        power += p;
        centre += p * f;
    }
    if (foundHz)
        *foundHz = power > 0 ? centre / power : 0;
    // A tone of peak A gives |X|^2 = A^2/4 * (sum w)^2 at its bin; summed over its lobe the
    // power is A^2/4 * n * sum(w^2) (Parseval).
    const double amplitude = std::sqrt(4 * power / (n * windowPower));
    return amplitude > 0 ? 20 * std::log10(amplitude / 32767.0) : -200;
}

inline double peakAbs(const QVector<double> &x)
{
    double peak = 0;
    for (double v : x)
        peak = qMax(peak, std::abs(v));
    return peak;
}

// Finds gaps and repeated or dropped blocks in a recorded sine of known frequency: each
// sample of a continuous sine is predicted from the two before it (x[n] = 2cos(w)x[n-1] -
// x[n-2]); a jump of phase or level leaves a residual far above the rounding noise. Pick a
// frequency whose period does not divide 10 or 20 ms (1025 Hz: a repeated 10 ms block
// shifts the phase by a quarter turn, a 20 ms block by half a turn). Residuals within 10 ms
// of each other count as one glitch.
class SineContinuity
{
public:
    // `threshold`: residual (16-bit units) that counts as a break.
    SineContinuity(double hz, double threshold)
        : m_c(2 * std::cos(2 * std::numbers::pi * hz / kRate)), m_threshold(threshold)
    {
    }
    // Left channel of interleaved stereo s16le frames.
    void feed(const QByteArray &stereo)
    {
        const auto *s = reinterpret_cast<const int16_t *>(stereo.constData());
        for (qsizetype i = 0; i + 1 < stereo.size() / 2; i += 2, ++m_n) {
            const double x = s[i];
            if (m_n >= 2 && std::abs(x - (m_c * m_x1 - m_x2)) > m_threshold) {
                if (m_glitches.isEmpty() || m_n - m_glitches.last() > kRate / 100)
                    m_glitches.append(m_n);
            }
            m_x2 = m_x1;
            m_x1 = x;
        }
    }
    // Frame indexes of the glitches found.
    const QList<qint64> &glitches() const { return m_glitches; }
    qint64 frames() const { return m_n; }

private:
    const double m_c;
    const double m_threshold;
    double m_x1 = 0, m_x2 = 0;
    qint64 m_n = 0;
    QList<qint64> m_glitches;
};

} // namespace audiotest
