// Helpers of the recorder tests: test sources and recorders as real processes on a private
// NDI registry and discovery port, and what ffprobe/ffmpeg read back from the files.
// Everything runs on the test's main thread; every process is ended by its PID.
#pragma once

#include "TestSupport.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cmath>
#include <vector>

namespace rectest {

inline QString recorderPath()
{
    return drtest::buildDir() + "/res/bin/record/ndi-recorder";
}

using drtest::isolatedRuntimeEnv;
using drtest::uniqueName;

// One ndi-testsrc child: colour bars, counter, 1 kHz tone at -20 dBFS.
inline bool startSource(drtest::ChildProcess &child, const QString &name, const QString &size)
{
    return child.start(drtest::buildDir() + "/ndi-testsrc",
                       {"--name", name, "--resolution", size, "--seconds", "300"},
                       isolatedRuntimeEnv()) &&
           child.waitForOutput("started ", 10000);
}

// One recorder child; send() writes a line to its standard input.
struct Recorder : drtest::ChildProcess
{
    bool start(const QStringList &args, const QString &wrapper = {},
               const QStringList &wrapperArgs = {})
    {
        if (wrapper.isEmpty())
            return ChildProcess::start(recorderPath(), args, isolatedRuntimeEnv());
        return ChildProcess::start(wrapper, wrapperArgs + QStringList{recorderPath()} + args,
                                   isolatedRuntimeEnv());
    }
    void send(const QByteArray &line) { process().write(line + "\n"); }
    // Waits for the end after closing standard input (a starved machine may leave seconds of
    // pictures queued, all of which are still written); the exit code, -1 when it hung.
    int finish(int timeoutMs = 60000)
    {
        process().closeWriteChannel();
        if (!drtest::waitUntil([&] { return !isRunning(); }, timeoutMs))
            return -1;
        output();
        return process().exitStatus() == QProcess::NormalExit ? process().exitCode() : -1;
    }
    // The value of `attr` in the last element `name` printed, or "".
    QString last(const QString &name, const QString &attr)
    {
        const QRegularExpression re("<" + name + "\\b[^\\n]*\\b" + attr + "=\"([^\"]*)\"");
        QString value;
        for (auto it = re.globalMatch(output()); it.hasNext();)
            value = it.next().captured(1);
        return value;
    }
    // A number from the final progress line ("received N pictures, wrote N (N repeated),
    // dropped N (N refused ..."), by a pattern whose first group is the number.
    long long summary(const QString &pattern)
    {
        const QRegularExpression re(pattern);
        const auto m = re.match(output().section("stopped: ", -1));
        return m.hasMatch() ? m.captured(1).toLongLong() : -1;
    }
};

inline QByteArray run(const QString &program, const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs))
        p.kill();
    return p.readAllStandardOutput();
}

struct Probe
{
    QJsonObject video, audio, timecode;
    int videoPackets() const { return video.value("nb_read_packets").toString().toInt(); }
    double videoSeconds() const { return video.value("duration").toString().toDouble(); }
    QString startTimecode() const { return timecode["tags"].toObject()["timecode"].toString(); }
};

inline Probe probe(const QString &file)
{
    const QJsonObject root =
        QJsonDocument::fromJson(
            run("ffprobe", {"-v", "error", "-count_packets", "-show_streams", "-of", "json", file}))
            .object();
    Probe p;
    for (const QJsonValue v : root["streams"].toArray()) {
        const QJsonObject s = v.toObject();
        const QString type = s["codec_type"].toString();
        (type == "video" ? p.video : type == "audio" ? p.audio : p.timecode) = s;
    }
    return p;
}

// Frames the decoder gets out of a file (a damaged end is cut off, not counted).
inline int decodedFrames(const QString &file)
{
    const QByteArray out =
        run("ffprobe", {"-v", "quiet", "-count_frames", "-select_streams", "v", "-show_entries",
                        "stream=nb_read_frames", "-of", "csv=p=0", file});
    return out.trimmed().toInt();
}

// "hh:mm:ss:ff" or drop-frame "hh:mm:ss;ff" at 30000/1001 -> frame number.
inline long long timecodeFrames(const QString &tc)
{
    const QStringList p = tc.split(QRegularExpression("[:;]"));
    if (p.size() != 4)
        return -1;
    const long long minutes = p[0].toLongLong() * 60 + p[1].toLongLong();
    const long long nominal = (minutes * 60 + p[2].toLongLong()) * 30 + p[3].toLongLong();
    return tc.contains(';') ? nominal - 2 * (minutes - minutes / 10) : nominal;
}

// Peak level (dBFS) and frequency (Hz, from zero crossings) of the first channel of the
// sound from `fromS` for `lengthS` seconds. The frequency comes from the longest stretch
// without silence: a sender starved of CPU skips frames, and the file has silence there.
inline void toneOf(const QString &file, double fromS, double lengthS, double *peakDb, double *hz)
{
    const QByteArray raw =
        run("ffmpeg", {"-v", "error", "-ss", QString::number(fromS), "-t", QString::number(lengthS),
                       "-i", file, "-map", "0:a", "-af", "pan=mono|c0=c0", "-f", "f32le", "-"});
    const auto *s = reinterpret_cast<const float *>(raw.constData());
    const qsizetype n = raw.size() / 4;
    float peak = 0;
    int crossings = 0, bestCrossings = 0;
    qsizetype runStart = 0, bestLength = 0, zeros = 0;
    for (qsizetype i = 0; i < n; ++i) {
        peak = std::max(peak, std::fabs(s[i]));
        zeros = s[i] == 0.0f ? zeros + 1 : 0;
        if (zeros >= 4) { // silence: a new stretch starts after it
            crossings = 0;
            runStart = i + 1;
        } else if (i > runStart && (s[i - 1] < 0) != (s[i] < 0)) {
            ++crossings;
        }
        if (i + 1 - runStart > bestLength) {
            bestLength = i + 1 - runStart;
            bestCrossings = crossings;
        }
    }
    *peakDb = peak > 0 ? 20 * std::log10(double(peak)) : -200;
    *hz = bestLength > 4800 ? bestCrossings / 2.0 / (double(bestLength) / 48000) : 0;
}

// Picture `index` decoded and converted to UYVY.
inline QByteArray uyvyFrame(const QString &file, int index)
{
    return run("ffmpeg", {"-v", "error", "-i", file, "-vf", QString("select=eq(n\\,%1)").arg(index),
                          "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "uyvy422", "-"});
}

} // namespace rectest
