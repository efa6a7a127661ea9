// Twenty windows at 640 x 360 (one ndi-testsrc process, twenty sources) in the headless
// application, watched by simulated browsers that fetch every window's preview twice a
// second with If-None-Match. Prints the application's CPU while it only receives and
// analyses (feeds and alarms), and while it also serves previews; the bytes per second
// sent; and the JPEG encode time per picture beside libjpeg-turbo compressing the same
// size from RGB, plus the alarm analysis time per picture. Never fails on timing.
//
// Usage: bench_preview [--windows N] [--browsers B] [--seconds S]
#include "NdiSourceProcess.h"
#include "TestSupport.h"
#include "control/AlarmDetector.h"
#include "control/PreviewEncoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <turbojpeg.h>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> f = stat.readAll().split(')').value(1).split(' ');
    return (f.value(12).toDouble() + f.value(13).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

std::vector<uint8_t> bars(int w, int h)
{
    static const uint8_t c[7][3] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
                                    {63, 193, 204},  {51, 109, 212}, {28, 212, 120}};
    std::vector<uint8_t> d(size_t(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            const uint8_t *k = c[x * 7 / w];
            uint8_t *p = &d[(size_t(y) * w + x) * 2];
            p[0] = k[1], p[1] = uint8_t(k[0] + (x + y) % 7), p[2] = k[2], p[3] = k[0];
        }
    return d;
}

void encodeFigures()
{
    const int w = 640, h = 360, rounds = 300;
    const std::vector<uint8_t> uyvy = bars(w, h);
    PreviewEncoder encoder;
    QElapsedTimer clock;
    qint64 bytes = 0;
    clock.start();
    for (int i = 0; i < rounds; ++i)
        bytes += encoder.encode(uyvy.data(), w, h, w * 2).size();
    const double oursUs = clock.nsecsElapsed() / 1000.0 / rounds;

    std::vector<uint8_t> rgb(size_t(w) * h * 3, 0);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(uyvy[(i / 3) * 2 + 1]);
    tjhandle tj = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    clock.restart();
    for (int i = 0; i < rounds; ++i)
        tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_420, 80,
                    TJFLAG_FASTDCT);
    const double turboUs = clock.nsecsElapsed() / 1000.0 / rounds;
    tjFree(jpeg);
    tjDestroy(tj);

    AlarmDetector detector;
    AlarmSettings settings;
    detector.restart(0);
    clock.restart();
    for (int i = 0; i < 10000; ++i) {
        AlarmDetector::Input in;
        in.nowMs = i * 100;
        in.sourceSet = in.newPicture = in.sendsAudio = true;
        in.probe = PictureProbe::sample(uyvy.data(), w, h, w * 2);
        detector.update(in, settings);
    }
    const double analysisUs = clock.nsecsElapsed() / 1000.0 / 10000;
    std::printf("JPEG %dx%d q80 4:2:0: ours from UYVY %.0f us (%lld bytes), libjpeg-turbo from "
                "RGB %.0f us; alarm analysis %.2f us per picture\n",
                w, h, oursUs, bytes / rounds, turboUs, analysisUs);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int windows = 20, browsers = 5, seconds = 10;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--windows")
            windows = qBound(1, args[i + 1].toInt(), 20);
        else if (args[i] == "--browsers")
            browsers = qBound(0, args[i + 1].toInt(), 200);
        else if (args[i] == "--seconds")
            seconds = qBound(2, args[i + 1].toInt(), 600);
    }
    encodeFigures();

    QStringList names;
    QStringList sourceArgs{"--seconds", "600", "--resolution", "640x360"};
    for (int i = 1; i <= windows; ++i)
        sourceArgs << "--name" << mediatest::uniqueName(QString("bench preview %1").arg(i));
    drtest::ChildProcess sender;
    if (!sender.start(drtest::buildDir() + "/ndi-testsrc", sourceArgs,
                      mediatest::isolatedRuntimeEnv()) ||
        !drtest::waitUntil([&] { return sender.output().count("started ") == windows; }, 20000)) {
        std::fprintf(stderr, "bench_preview: the test sources did not start\n");
        return 1;
    }
    QRegularExpression started("started \"([^\"]*)\"");
    for (auto it = started.globalMatch(sender.output()); it.hasNext();)
        names << it.next().captured(1);

    drtest::AppInstance desk;
    if (!desk.start({}, mediatest::isolatedRuntimeEnv())) {
        std::fprintf(stderr, "bench_preview: the application did not start\n");
        return 1;
    }
    const int layout = windows <= 1    ? 1
                       : windows <= 4  ? 2
                       : windows <= 9  ? 3
                       : windows <= 16 ? 4
                                       : 5;
    const int count = QList<int>{1, 4, 9, 16, 20}[layout - 1];
    desk.post("/api/output/setLayout.json", {{"layout_id", layout}, {"layout_number", count}});
    for (int i = 0; i < windows; ++i)
        desk.post("/api/output/setSource.json",
                  {{"type", "source"}, {"position", i + 1}, {"stream_id", names[i]}});
    drtest::waitUntil(
        [&] {
            return desk.get("/api/output/get.json").body.count("\"state\":\"play\"") == windows;
        },
        20000);
    QTest::qWait(2000);

    const qint64 pid = desk.process().pid();
    auto measure = [&](const char *what, bool watching) {
        QNetworkAccessManager manager;
        std::vector<QByteArray> etags(size_t(browsers * windows));
        QSet<QByteArray> distinct; // one per JPEG the application encoded
        qint64 bytes = 0, replies = 0, notModified = 0;
        // Each browser on its own timer, spread over the period as real ones would be.
        std::vector<std::unique_ptr<QTimer>> timers;
        for (int b = 0; b < browsers; ++b) {
            timers.push_back(std::make_unique<QTimer>());
            timers.back()->setInterval(500);
            QObject::connect(timers.back().get(), &QTimer::timeout, [&, b] {
                for (int w = 1; w <= windows; ++w) {
                    QNetworkRequest request(
                        QUrl(desk.url(QString("/api/output/preview.jpg?position=%1").arg(w))));
                    QByteArray &etag = etags[size_t(b * windows + w - 1)];
                    if (!etag.isEmpty())
                        request.setRawHeader("If-None-Match", etag);
                    QNetworkReply *reply = manager.get(request);
                    QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
                        const QByteArray body = reply->readAll();
                        bytes += body.size();
                        ++replies;
                        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() ==
                            304)
                            ++notModified;
                        else
                            distinct.insert(etag = reply->rawHeader("ETag"));
                        reply->deleteLater();
                    });
                }
            });
        }
        const double cpu0 = cpuSeconds(pid);
        QElapsedTimer clock;
        clock.start();
        for (int b = 0; watching && b < browsers; ++b)
            QTimer::singleShot(500 * b / browsers, timers[size_t(b)].get(),
                               qOverload<>(&QTimer::start));
        QTest::qWait(seconds * 1000);
        timers.clear();
        const double wall = clock.nsecsElapsed() / 1e9;
        const double cpu = (cpuSeconds(pid) - cpu0) / wall * 100.0;
        std::printf("%-38s app CPU %5.1f%% of a core", what, cpu);
        if (watching)
            std::printf("; %lld replies/s (%lld%% 304), %.1f JPEGs/s per window, %.0f kB/s sent",
                        qint64(replies / wall), replies ? notModified * 100 / replies : 0,
                        distinct.size() / wall / windows, bytes / wall / 1000.0);
        std::printf("\n");
        return cpu;
    };
    const double receiving = measure("receiving, levels, alarms:", false);
    const double watched =
        measure(qPrintable(QString("+ %1 browsers, previews at 2/s:").arg(browsers)), true);
    std::printf("previews cost %.1f%% of a core on top of receiving (%d windows)\n",
                watched - receiving, windows);
    desk.stop();
    sender.stop();
    return 0;
}
