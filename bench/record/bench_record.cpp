// bench_record: concurrent recordings of test sources sent by another process, per codec,
// and the same raw pictures encoded by the ffmpeg command line with the same settings.
// Prints figures; never fails on timing.
//
//   build/bench/bench_record [seconds per scenario, default 10] [scenario filter]
//
// Per scenario: pictures dropped, CPU per recorder (% of one core), encode pictures per
// second per core (pictures written / CPU seconds, receiving included), bytes per second
// and peak resident memory per recorder. The ffmpeg line feeds 300 test-pattern pictures
// through a pipe and reports pictures per CPU second; ours/ffmpeg is the ratio.
#include "TestPattern.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QString g_build;
QProcessEnvironment g_env;

double ticksToSeconds(long long ticks)
{
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

// utime + stime of a live process, in seconds.
double cpuOf(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 13 ? ticksToSeconds(fields[11].toLongLong() + fields[12].toLongLong())
                              : 0;
}

long long statusKb(qint64 pid, const QByteArray &key)
{
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}
long long peakRssKb(qint64 pid)
{
    return statusKb(pid, "VmHWM:");
}
long long rssKb(qint64 pid)
{
    return statusKb(pid, "VmRSS:");
}

struct Scenario
{
    QString name;
    QString codec;
    int count;
    QString size;
};

void runScenario(const Scenario &s, int seconds, const QString &dir)
{
    QStringList args = {"--resolution", s.size, "--seconds", QString::number(seconds + 60)};
    QStringList names;
    for (int i = 0; i < s.count; ++i) {
        names << QString("Bench %1 %2-%3").arg(s.codec).arg(getpid()).arg(i);
        args << "--name" << names.last();
    }
    QProcess source;
    source.setProcessEnvironment(g_env);
    source.start(g_build + "/ndi-testsrc", args);
    source.waitForStarted();
    QElapsedTimer startWait;
    startWait.start();
    while (source.readAllStandardOutput().count("started") < 1 && startWait.elapsed() < 10000)
        source.waitForReadyRead(100);

    std::vector<std::unique_ptr<QProcess>> recs;
    for (int i = 0; i < s.count; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(g_env);
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->start(g_build + "/res/bin/record/ndi-recorder",
                 {"-i", names[i], "-o", QString("%1/%2-%3.mov").arg(dir, s.name).arg(i), "-codec",
                  s.codec});
        recs.push_back(std::move(p));
    }
    // Measure from the moment every recorder is writing.
    QElapsedTimer clock;
    clock.start();
    for (auto &p : recs) {
        while (!p->readAllStandardOutput().contains("<record_started") && clock.elapsed() < 20000)
            p->waitForReadyRead(100);
    }
    std::vector<double> cpu0;
    for (auto &p : recs)
        cpu0.push_back(cpuOf(p->processId()));
    QElapsedTimer measured;
    measured.start();
    QThread::sleep(seconds);
    const double wall = measured.elapsed() / 1000.0;
    double cpuSum = 0, rssMax = 0, rssNow = 0, bytes = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        cpuSum += cpuOf(recs[i]->processId()) - cpu0[i];
        rssMax = std::max(rssMax, double(peakRssKb(recs[i]->processId())));
        rssNow = std::max(rssNow, double(rssKb(recs[i]->processId())));
    }
    long long frames = 0, dropped = 0, received = 0;
    for (auto &p : recs) // all stop at once
        p->closeWriteChannel();
    for (auto &p : recs) {
        p->waitForFinished(120000);
        const QString err = QString::fromUtf8(p->readAllStandardError());
        const QString out = QString::fromUtf8(p->readAllStandardOutput());
        static const QRegularExpression summary(
            "received (\\d+) pictures, wrote (\\d+) \\((\\d+) repeated\\), dropped (\\d+)");
        const auto m = summary.match(err);
        if (m.hasMatch()) {
            received += m.captured(1).toLongLong();
            frames += m.captured(2).toLongLong();
            dropped += m.captured(4).toLongLong();
        }
        static const QRegularExpression stopped("<record_stopped filename=\"([^\"]+)\"");
        bytes += double(QFileInfo(stopped.match(out).captured(1)).size());
    }
    source.terminate();
    source.waitForFinished(5000);
    const double perStreamCpu = cpuSum / double(s.count) / wall * 100;
    // Received pictures per CPU second: repeats of a picture cost next to nothing, so only
    // the pictures that came in count as encoded.
    const double fpsPerCore = cpuSum > 0 ? double(received) / cpuSum : 0;
    std::printf("%-17s %2d x %-9s received %5lld wrote %5lld dropped %5lld | CPU/stream %5.1f%% "
                "| %6.1f received pictures per CPU s | %6.2f MB/s per stream | RSS at end %4.0f "
                "MB, peak %4.0f MB\n",
                qPrintable(s.name), s.count, qPrintable(s.size), received, frames, dropped,
                perStreamCpu, fpsPerCore, bytes / 1e6 / double(s.count) / wall, rssNow / 1024,
                rssMax / 1024);
    std::fflush(stdout);
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
}

// CPU seconds the ffmpeg command line needs for `frames` test-pattern pictures.
double ffmpegCpu(const QString &codec, int width, int height, int frames, const QString &dir)
{
    QStringList enc;
    if (codec == "h264")
        enc = {"-c:v", "libx264", "-preset", "ultrafast", "-crf",     "18",
               "-g",   "30",      "-bf",     "0",         "-pix_fmt", "yuv420p"};
    else if (codec == "speedhq")
        enc = {"-c:v", "speedhq", "-q:v", "2", "-pix_fmt", "yuv422p"};
    else
        enc = {"-c:v", "utvideo", "-pix_fmt", "yuv422p"};
    const QStringList args =
        QStringList{"-v",      "error",      "-y",
                    "-f",      "rawvideo",   "-pix_fmt",
                    "uyvy422", "-s",         QString("%1x%2").arg(width).arg(height),
                    "-r",      "30000/1001", "-i",
                    "-"} +
        enc +
        QStringList{"-movflags", "+frag_custom+empty_moov+default_base_moof", dir + "/ffmpeg.mov"};
    int in[2];
    if (pipe(in) != 0)
        return 0;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[1]);
        std::vector<QByteArray> keep;
        std::vector<char *> argv;
        keep.push_back("ffmpeg");
        for (const QString &a : args)
            keep.push_back(a.toLocal8Bit());
        for (QByteArray &k : keep)
            argv.push_back(k.data());
        argv.push_back(nullptr);
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    close(in[0]);
    TestPattern pattern(width, height);
    for (int f = 0; f < frames; ++f) {
        pattern.draw(f);
        const size_t size = size_t(pattern.strideBytes()) * height;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(in[1], pattern.data() + done, size - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
    }
    close(in[1]);
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
    const QString filter = argc > 2 ? argv[2] : QString();
    g_build = QFileInfo(QCoreApplication::applicationDirPath() + "/..").canonicalFilePath();
    QTemporaryDir registry, files;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    g_env = QProcessEnvironment::systemEnvironment();
    g_env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
    g_env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(port));
    g_env.insert("DESK_RECORDER_NDI_LIB", g_build + "/libdesk-recorder-ndi.so");
    g_env.insert("DESK_RECORDER_NDI_INTERFACES", "none");

    std::printf("bench_record: %d s per scenario, load average at start: ", seconds);
    QFile load("/proc/loadavg");
    load.open(QIODevice::ReadOnly);
    std::printf("%s", load.readAll().constData());

    const std::vector<Scenario> scenarios = {
        {"h264-1080p", "h264", 1, "1920x1080"},
        {"h264-1080p-x3", "h264", 3, "1920x1080"},
        {"speedhq-1080p", "speedhq", 1, "1920x1080"},
        {"speedhq-1080p-x2", "speedhq", 2, "1920x1080"},
        {"utvideo-1080p", "utvideo", 1, "1920x1080"},
        {"h264-360p-x20", "h264", 20, "640x360"},
    };
    for (const Scenario &s : scenarios) {
        if (filter.isEmpty() || s.name.contains(filter))
            runScenario(s, seconds, files.path());
    }

    // Encode speed against the ffmpeg command line, 1080p, same settings.
    std::printf("\nffmpeg command line, 300 test pictures at 1920x1080 through a pipe:\n");
    for (const QString codec : {"h264", "speedhq", "utvideo"}) {
        if (!filter.isEmpty() && !codec.contains(filter) && !filter.contains(codec))
            continue;
        const double cpu = ffmpegCpu(codec, 1920, 1080, 300, files.path());
        std::printf("  %-8s %6.1f pictures per CPU s (compare with the single-recorder line "
                    "above: ours/ffmpeg)\n",
                    qPrintable(codec), cpu > 0 ? 300 / cpu : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
