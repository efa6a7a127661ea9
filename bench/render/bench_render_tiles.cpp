// Twenty video tiles in one window on Xvfb (Mesa's software OpenGL), each showing its own
// 640 x 360 test source at 30000/1001 through our NDI runtime and the real discovery loop.
// Prints, over a measuring period: distinct frames drawn per second per tile (min, median,
// max), CPU of this process (render items, node, receivers) and of the sender, the whole
// machine's busy share, and the latency from a frame's send time (its timestamp) to the
// render pass that draws it (p50, p99). Never fails on timing.
//
// With --memory the sources are in-memory receivers (no sender, no network runtime), which
// isolates the cost of the render items and nodes.
//
// Usage: bench_render_tiles [--tiles N] [--seconds S] [--bandwidth high|low] [--memory]
#include "FakeSourceTable.h"
#include "TestSupport.h"
#include "XvfbTestMain.h"
#include "discovery/SourceManager.h"
#include "render/OpenGLRenderNode.h"
#include "render/VideoRender.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QMutex>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <algorithm>
#include <cstdio>
#include <map>
#include <unistd.h>
#include <vector>

namespace {

struct DrawLog
{
    QMutex lock;
    std::map<const OpenGLRenderNode *, int> frames;
    std::vector<double> latencyMs;
    bool measuring = false;
};

double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = f.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // Fields after the name: state is index 0, utime 11, stime 12 (clock ticks).
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

// Busy and total jiffies of the whole machine.
std::pair<double, double> machineTicks()
{
    QFile f("/proc/stat");
    if (!f.open(QIODevice::ReadOnly))
        return {0, 0};
    const QList<QByteArray> v = f.readLine().simplified().split(' ');
    double total = 0;
    for (int i = 1; i < v.size(); ++i)
        total += v[i].toDouble();
    const double idle = v.value(4).toDouble() + v.value(5).toDouble();
    return {total - idle, total};
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

int run(int argc, char **argv)
{
    int tiles = 20;
    int seconds = 20;
    QString bandwidth = "low";
    bool memory = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--memory") {
            memory = true;
            continue;
        }
        if (i + 1 >= argc)
            break;
        if (a == "--tiles")
            tiles = qBound(1, atoi(argv[i + 1]), 20);
        else if (a == "--seconds")
            seconds = qBound(2, atoi(argv[i + 1]), 600);
        else if (a == "--bandwidth")
            bandwidth = argv[i + 1];
        ++i;
    }

    qmlRegisterType<VideoRender>("SceneGraphRendering", 1, 0, "Renderer");
    const QString prefix = QStringLiteral("Bench-%1-").arg(QCoreApplication::applicationPid());
    QStringList args;
    for (int i = 0; i < tiles; ++i)
        args << "--name" << prefix + QString::number(i);
    args << "--resolution"
         << "640x360"
         << "--fps"
         << "30000/1001";
    drtest::ChildProcess sender;
    SourceManager *sources = SourceManager::instance();
    std::unique_ptr<FakeSourceTable> memoryTable;
    if (memory) {
        memoryTable = std::make_unique<FakeSourceTable>();
        FakeReceiverConnection::Options o;
        o.highSize = o.lowSize = QSize(640, 360);
        for (int i = 0; i < tiles; ++i)
            memoryTable->add(prefix + QString::number(i), o);
    } else {
        if (!sender.start(drtest::buildDir() + "/ndi-testsrc", args)) {
            std::fprintf(stderr, "cannot start ndi-testsrc\n");
            return 1;
        }
        sources->startDiscover();
    }
    QStringList names;
    drtest::waitUntil(
        [&] {
            names.clear();
            for (const QJsonValue &v : sources->getSourcesJson().value("data").toArray())
                if (v["name"].toString().contains(prefix))
                    names << v["name"].toString();
            return names.size() == tiles;
        },
        20000);
    if (names.size() != tiles) {
        std::fprintf(stderr, "found %d of %d sources\n", int(names.size()), tiles);
        return 1;
    }
    names.sort();

    DrawLog log;
    OpenGLRenderNode::setDrawObserver([&log](const OpenGLRenderNode *node, int64_t timestamp) {
        const double nowMs = QDateTime::currentMSecsSinceEpoch();
        QMutexLocker lock(&log.lock);
        if (!log.measuring)
            return;
        ++log.frames[node];
        if (timestamp > 0)
            log.latencyMs.push_back(nowMs - timestamp / 10000.0);
    });

    // A 5 x 4 grid filling a 1600 x 900 window, as the main window's 20-window layout does.
    QQuickView view;
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setColor(Qt::black);
    view.resize(1600, 900);
    auto *root = new QQuickItem;
    view.setContent(QUrl(), nullptr, root);
    root->setSize(QSizeF(1600, 900));
    std::vector<VideoRender *> items;
    for (int i = 0; i < tiles; ++i) {
        auto *item = new VideoRender(root);
        item->setPosition(QPointF((i % 5) * 320 + 2, (i / 5) * 225 + 2));
        item->setSize(QSizeF(316, 221));
        item->changeSource(names[i], bandwidth);
        items.push_back(item);
    }
    view.show();
    drtest::waitUntil(
        [&] {
            return std::all_of(items.begin(), items.end(),
                               [](VideoRender *r) { return r->xres() > 0; });
        },
        15000);
    QTest::qWait(2000); // settle

    const double cpu0 = cpuSeconds(QCoreApplication::applicationPid());
    const double sender0 = memory ? 0 : cpuSeconds(sender.pid());
    const auto machine0 = machineTicks();
    QElapsedTimer clock;
    clock.start();
    {
        QMutexLocker lock(&log.lock);
        log.measuring = true;
    }
    QTest::qWait(seconds * 1000);
    {
        QMutexLocker lock(&log.lock);
        log.measuring = false;
    }
    const double elapsed = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds(QCoreApplication::applicationPid()) - cpu0;
    const double senderCpu = memory ? 0 : cpuSeconds(sender.pid()) - sender0;
    const auto machine1 = machineTicks();

    std::vector<double> rates;
    {
        QMutexLocker lock(&log.lock);
        for (const auto &entry : log.frames)
            rates.push_back(entry.second / elapsed);
    }
    while (static_cast<int>(rates.size()) < tiles)
        rates.push_back(0);
    std::sort(rates.begin(), rates.end());
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("tiles=%d sources=%s 640x360@30000/1001 bandwidth=%s received=%dx%d "
                "seconds=%.1f\n",
                tiles, memory ? "in-memory" : "ndi-testsrc", qPrintable(bandwidth),
                items[0]->xres(), items[0]->yres(), elapsed);
    std::printf("drawn_fps_per_tile min=%.2f median=%.2f max=%.2f (source 29.97)\n", rates.front(),
                rates[rates.size() / 2], rates.back());
    std::printf("cpu_render_process=%.1f%% of one core; cpu_sender=%.1f%%; cores=%ld\n",
                100 * cpu / elapsed, 100 * senderCpu / elapsed, cores);
    std::printf("machine_busy=%.1f%% (all processes on the machine, shared)\n",
                100 * (machine1.first - machine0.first) /
                    std::max(1.0, machine1.second - machine0.second));
    std::printf("latency_send_to_draw_ms p50=%.1f p99=%.1f samples=%zu (frame interval 33.4)\n",
                percentile(log.latencyMs, 0.5), percentile(log.latencyMs, 0.99),
                log.latencyMs.size());
    OpenGLRenderNode::setDrawObserver({});
    for (VideoRender *item : items)
        delete item;
    if (memory) {
        memoryTable.reset();
    } else {
        sources->stopDiscover();
        sender.stop();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setenv("DESK_RECORDER_NDI_INTERFACES", "none", 1); // the senders stay on this host
    return rendertest::runOnOwnDisplay(argc, argv, run);
}
