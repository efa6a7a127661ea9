// Media path under load: the source table discovers 20 test sources at 640x360 and
// 30000/1001 fps (each held by one low-bandwidth user, as a tile would) plus one 1920x1080
// source held in high bandwidth, through our NDI runtime. Prints, over a measuring window:
// the CPU of this process (discovery, receivers, frame timers, audio threads), the new
// pictures captured per second per stream against the sender's rate, and resident memory.
// Never fails on timing; exit code 1 only when the set-up cannot be made.
//
// Usage: bench_media_connections [--sources N] [--seconds S]
#include "discovery/SourceManager.h"
#include "media/MediaReaper.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int lowCount = 20;
    int seconds = 10;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--sources")
            lowCount = std::clamp(args[i + 1].toInt(), 1, 64);
        else if (args[i] == "--seconds")
            seconds = std::clamp(args[i + 1].toInt(), 2, 600);
    }
    const QString build = QDir(app.applicationDirPath() + "/..").canonicalPath();

    // A private registry and discovery port, shared with the senders.
    QTemporaryDir registry;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
    env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT",
               QString::number(40000 + app.applicationPid() % 20000));
    env.insert("DESK_RECORDER_NDI_LIB", build + "/libdesk-recorder-ndi.so");
    env.insert("DESK_RECORDER_NDI_INTERFACES", "none"); // the senders stay on this host
    for (const char *key : {"DESK_RECORDER_NDI_REGISTRY", "DESK_RECORDER_NDI_DISCOVERY_PORT",
                            "DESK_RECORDER_NDI_LIB", "DESK_RECORDER_NDI_INTERFACES"})
        qputenv(key, env.value(key).toLocal8Bit());
    qputenv(SourceManager::kProbePortEnv, "9"); // probes go nowhere
    if (!NdiLibrary::instance()) {
        std::fprintf(stderr, "no NDI runtime: %s\n", NdiLibrary::instanceError().c_str());
        return 1;
    }

    const QString tag = QString::number(app.applicationPid());
    // The time limit ends the senders even if this program dies before it can stop them.
    const QString limit = QString::number(seconds + 120);
    QStringList lowArgs{"--resolution", "640x360", "--fps", "30000/1001", "--seconds", limit};
    QStringList lowNames;
    for (int i = 0; i < lowCount; ++i) {
        lowNames << QString("bench low %1-%2").arg(tag).arg(i);
        lowArgs << "--name" << lowNames.last();
    }
    const QString highName = "bench high " + tag;
    QProcess lowSender, highSender;
    for (QProcess *p : {&lowSender, &highSender}) {
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
    }
    lowSender.start(build + "/ndi-testsrc", lowArgs);
    highSender.start(build + "/ndi-testsrc", {"--name", highName, "--resolution", "1920x1080",
                                              "--fps", "30000/1001", "--seconds", limit});
    auto endSenders = [&] {
        for (QProcess *p : {&lowSender, &highSender}) {
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGTERM);
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(2000);
            }
        }
    };
    if (!lowSender.waitForStarted(5000) || !highSender.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s/ndi-testsrc\n", qPrintable(build));
        endSenders();
        return 1;
    }

    QElapsedTimer sending;
    sending.start();
    auto managerOwner = std::make_unique<SourceManager>();
    SourceManager &manager = *managerOwner;
    manager.startDiscover();
    // Full names are "<host> (<name>)": wait until every source is listed.
    QHash<QString, QString> fullName; // our name -> listed name
    QElapsedTimer waited;
    waited.start();
    while (fullName.size() < lowCount + 1 && waited.elapsed() < 20000) {
        pump(100);
        const QJsonArray data = manager.getSourcesJson().value("data").toArray();
        for (const QJsonValue &v : data) {
            const QString listed = v.toObject().value("name").toString();
            for (const QString &n : lowNames + QStringList{highName}) {
                if (listed.endsWith("(" + n + ")"))
                    fullName.insert(n, listed);
            }
        }
    }
    if (fullName.size() < lowCount + 1) {
        std::fprintf(stderr, "only %d of %d sources discovered\n", int(fullName.size()),
                     lowCount + 1);
        manager.stopDiscover();
        endSenders();
        return 1;
    }

    struct Held
    {
        QString name;
        MediaConnectionPtr connection;
        int bw;
        quint64 startFrames = 0;
    };
    QList<Held> held;
    static const char users[64] = {};
    for (int i = 0; i < lowCount; ++i)
        held.append(
            {fullName.value(lowNames[i]), manager.getConnection(fullName.value(lowNames[i])), 2});
    held.append({fullName.value(highName), manager.getConnection(fullName.value(highName)), 1});
    for (int i = 0; i < held.size(); ++i) {
        Held &h = held[i];
        if (!h.connection) {
            std::fprintf(stderr, "no connection for %s\n", qPrintable(h.name));
            return 1;
        }
        h.connection->start();
        h.connection->addVideoUser(h.bw, users + i);
    }
    // Warm-up: receivers connect and the timers settle on the frame rate.
    pump(3000);
    for (Held &h : held)
        h.startFrames = h.connection->videoFramesReceived(h.bw);
    const double cpu0 = cpuSeconds();
    QElapsedTimer window;
    window.start();
    long peakRss = residentKiB();
    while (window.elapsed() < seconds * 1000) {
        pump(500);
        peakRss = std::max(peakRss, residentKiB());
    }
    const double wall = window.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;
    const double sentRate = 30000.0 / 1001.0;

    std::printf("media connections: %d low 640x360 + 1 high 1920x1080, all 30000/1001, %0.1f s\n",
                lowCount, wall);
    double minLow = 1e9, sumLow = 0;
    for (const Held &h : held) {
        const double rate = (h.connection->videoFramesReceived(h.bw) - h.startFrames) / wall;
        if (h.bw == 2) {
            minLow = std::min(minLow, rate);
            sumLow += rate;
        } else {
            std::printf("  high stream: %.2f pictures/s captured (sent %.2f/s)\n", rate, sentRate);
        }
    }
    std::printf("  low streams: mean %.2f, lowest %.2f pictures/s captured (sent %.2f/s)\n",
                sumLow / lowCount, minLow, sentRate);
    std::printf("  CPU of this process: %.1f%% of one core\n", 100.0 * cpu / wall);
    std::printf("  resident memory: %ld KiB now, %ld KiB peak\n", residentKiB(), peakRss);

    for (int i = 0; i < held.size(); ++i) {
        held[i].connection->removeVideoUser(held[i].bw, users + i);
        held[i].connection->stop();
    }
    held.clear();
    manager.stopDiscover();
    managerOwner.reset();
    MediaReaper::drain();
    const double sendingSeconds = sending.elapsed() / 1000.0;
    endSenders();
    // What the senders really managed (they skip frames when the machine is overloaded).
    const QString out = QString::fromUtf8(lowSender.readAll() + highSender.readAll());
    static const QRegularExpression stopped(
        "stopped \"[^\"]*\\((bench (low|high)[^)]*)\\)\" frames=(\\d+)");
    double lowSent = 0, highSent = 0;
    int lowSeen = 0;
    for (auto it = stopped.globalMatch(out); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const double rate = m.captured(3).toDouble() / sendingSeconds;
        if (m.captured(2) == "low") {
            lowSent += rate;
            ++lowSeen;
        } else {
            highSent = rate;
        }
    }
    if (lowSeen > 0)
        std::printf("  senders managed: low mean %.2f/s, high %.2f/s over their %.1f s run\n",
                    lowSent / lowSeen, highSent, sendingSeconds);
    return 0;
}
