// bench_record_app [windows=4] [WxH=640x360] [seconds=20] [codec=h264] [fps=30]
// Starts one ndi-testsrc with `windows` sources and the application headless (plug-in
// back end), puts one source in each window, records them all for `seconds` and prints
// frames, dropped frames, bytes, and the CPU (percent of one core) and resident memory of
// the application and of the recording programs. Prints figures; never fails on timing.
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <unistd.h>

namespace {

struct ProcSample
{
    double cpuSeconds = 0;
    double rssMiB = 0;
};

ProcSample sample(qint64 pid)
{
    ProcSample s;
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return s;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double tick = double(sysconf(_SC_CLK_TCK));
    if (f.size() > 22) {
        s.cpuSeconds = (f[11].toLongLong() + f[12].toLongLong()) / tick;
        s.rssMiB = f[21].toLongLong() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
    }
    return s;
}

QJsonArray windowsOf(drtest::AppInstance &app)
{
    return app.get("/api/record/get.json").json().value("data").toObject()["windows"].toArray();
}

int layoutFor(int windows, int *count)
{
    const int ids[][2] = {{1, 1}, {2, 4}, {3, 9}, {4, 16}, {5, 20}};
    for (const auto &l : ids)
        if (windows <= l[1]) {
            *count = l[1];
            return l[0];
        }
    *count = 20;
    return 5;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication qapp(argc, argv);
    const QStringList a = qapp.arguments();
    const int windows = std::clamp(a.value(1, "4").toInt(), 1, 20);
    const QString size = a.value(2, "640x360");
    const int seconds = std::max(3, a.value(3, "20").toInt());
    const QString codec = a.value(4, "h264");
    const QString fps = a.value(5, "30");

    QTemporaryDir registry, store;
    QProcessEnvironment env;
    env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
    env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(drtest::freeTcpPort()));
    env.insert("DESK_RECORDER_NDI_INTERFACES", "none");
    const QString tag = QString("Bench%1-").arg(QCoreApplication::applicationPid());
    QStringList srcArgs{
        "--resolution", size, "--fps", fps, "--seconds", QString::number(seconds + 120)};
    for (int i = 1; i <= windows; ++i)
        srcArgs << "--name" << tag + QString::number(i);
    drtest::ChildProcess sources;
    if (!sources.start(drtest::buildDir() + "/ndi-testsrc", srcArgs, env) ||
        !sources.waitForOutput("started ", 10000)) {
        std::fprintf(stderr, "cannot start the test sources\n");
        return 1;
    }
    drtest::AppInstance app;
    if (!app.start({}, env)) {
        std::fprintf(stderr, "cannot start the application\n");
        return 1;
    }
    int count = 0;
    const int layout = layoutFor(windows, &count);
    app.post("/api/output/setLayout.json", {{"layout_id", layout}, {"layout_number", count}});
    QStringList names;
    drtest::waitUntil(
        [&] {
            names.clear();
            for (const QJsonValue &v : app.get("/api/source/get.json").json()["data"].toArray())
                if (v["name"].toString().contains(tag))
                    names << v["name"].toString();
            return names.size() >= windows;
        },
        20000);
    names.sort();
    for (int i = 0; i < names.size() && i < windows; ++i)
        app.post("/api/output/setSource.json",
                 {{"type", "source"}, {"position", i + 1}, {"stream_id", names[i]}});
    app.post("/api/storage/set.json", {{"storePath", store.path()}, {"codec", codec}});
    app.post("/api/record/set.json", {{"isStandBy", true}, {"isRecording", false}});
    const QJsonObject started =
        app.post("/api/record/set.json", {{"isStandBy", true}, {"isRecording", true}}).json();
    if (started["result"] != "ok") {
        std::fprintf(stderr, "recording refused: %s\n", qPrintable(started["msg"].toString()));
        return 1;
    }
    const auto recording = [&] {
        int n = 0;
        for (const QJsonValue &w : windowsOf(app))
            n += w["state"] == "recording";
        return n;
    };
    drtest::waitUntil([&] { return recording() == windows; }, 20000);
    QTest::qWait(2000); // past the start-up of the encoders
    const qint64 appPid = app.process().pid();
    const QList<qint64> recorders = drtest::childPids(appPid, "ndi-recorder");
    const ProcSample app0 = sample(appPid);
    QList<ProcSample> rec0;
    for (qint64 pid : recorders)
        rec0 << sample(pid);
    const QJsonArray before = windowsOf(app);
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    const double wall = clock.elapsed() / 1000.0;
    const ProcSample app1 = sample(appPid);
    double recCpu = 0, recRssMax = 0;
    for (int i = 0; i < recorders.size(); ++i) {
        const ProcSample s = sample(recorders[i]);
        recCpu += s.cpuSeconds - rec0[i].cpuSeconds;
        recRssMax = std::max(recRssMax, s.rssMiB);
    }
    const QJsonArray after = windowsOf(app);
    app.post("/api/record/set.json", {{"isStandBy", false}, {"isRecording", false}});

    std::printf("bench_record_app: %d windows of %s at %s fps, codec %s, %.1f s measured\n",
                windows, qPrintable(size), qPrintable(fps), qPrintable(codec), wall);
    qint64 frames = 0, dropped = 0, bytes = 0, droppedBefore = 0;
    for (const QJsonValue &w : after) {
        std::printf("  window %2d: %s frames=%lld dropped=%lld bytes=%lld file=%s\n",
                    w["position"].toInt(), qPrintable(w["state"].toString()),
                    qint64(w["frames"].toDouble()), qint64(w["dropped"].toDouble()),
                    qint64(w["bytes"].toDouble()), qPrintable(w["file"].toString()));
        frames += qint64(w["frames"].toDouble());
        dropped += qint64(w["dropped"].toDouble());
        bytes += qint64(w["bytes"].toDouble());
    }
    for (const QJsonValue &w : before)
        droppedBefore += qint64(w["dropped"].toDouble());
    std::printf("  frames %lld, dropped %lld (%lld during the measurement), %.1f MB/s written\n",
                frames, dropped, dropped - droppedBefore, bytes / 1e6 / std::max(1.0, wall + 2));
    std::printf("  application: %.1f%% of a core, %.0f MiB resident\n",
                100.0 * (app1.cpuSeconds - app0.cpuSeconds) / wall, app1.rssMiB);
    std::printf("  %lld recording programs: %.1f%% of a core in all, %.1f%% each, at most %.0f MiB "
                "resident\n",
                qint64(recorders.size()), 100.0 * recCpu / wall,
                recorders.isEmpty() ? 0.0 : 100.0 * recCpu / wall / recorders.size(), recRssMax);
    app.stop();
    sources.stop();
    return 0;
}
