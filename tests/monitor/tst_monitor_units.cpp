// The window monitor's logic without sources: the preview conversion (BT.709 limited range
// to what a browser decodes, downscaled), the alarm detector's timing on synthetic
// pictures and levels, the alarm settings file, and a feed's use of a shared connection
// beside a tile (over in-process fake receivers).
#include "../media/FakeReceiverConnection.h"
#include "TestSupport.h"
#include "control/AlarmDetector.h"
#include "control/AlarmSettings.h"
#include "control/PreviewEncoder.h"
#include "control/WindowFeed.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

namespace {

std::vector<uint8_t> barsPicture(int xres, int yres, int stride)
{
    std::vector<uint8_t> data(size_t(stride) * yres);
    for (int y = 0; y < yres; ++y) {
        for (int x = 0; x < xres; x += 2) {
            const UyvyColour c = kBars[x * 7 / xres];
            uint8_t *p = data.data() + size_t(y) * stride + x * 2;
            p[0] = c.u, p[1] = c.y, p[2] = c.v, p[3] = c.y;
        }
    }
    return data;
}

PictureProbe flat(uint8_t luma)
{
    PictureProbe p;
    p.luma.fill(luma);
    p.valid = true;
    return p;
}

} // namespace

class TestMonitorUnits : public QObject
{
    Q_OBJECT

private slots:
    void previewKeepsColoursAndSize_data()
    {
        QTest::addColumn<int>("xres");
        QTest::addColumn<int>("yres");
        QTest::addColumn<QSize>("jpegSize");
        QTest::newRow("1080p shrinks") << 1920 << 1080 << QSize(640, 360);
        QTest::newRow("small stays") << 320 << 180 << QSize(320, 180);
        QTest::newRow("odd 4:3") << 1000 << 750 << QSize(640, 480);
    }
    void previewKeepsColoursAndSize()
    {
        QFETCH(int, xres);
        QFETCH(int, yres);
        QFETCH(QSize, jpegSize);
        const int stride = xres * 2 + 64; // padded lines
        const std::vector<uint8_t> picture = barsPicture(xres, yres, stride);
        PreviewEncoder encoder;
        QImage image;
        QVERIFY(image.loadFromData(encoder.encode(picture.data(), xres, yres, stride), "JPEG"));
        QCOMPARE(image.size(), jpegSize);
        for (int bar = 0; bar < 7; ++bar) {
            const QColor c =
                image.pixelColor(image.width() * (2 * bar + 1) / 14, image.height() / 2);
            QVERIFY2(qAbs(c.red() - kBarsRgb[bar][0]) <= 6 &&
                         qAbs(c.green() - kBarsRgb[bar][1]) <= 6 &&
                         qAbs(c.blue() - kBarsRgb[bar][2]) <= 6,
                     qPrintable(QString("bar %1: %2").arg(bar).arg(c.name())));
        }
        QVERIFY(encoder.encode(picture.data(), xres, yres, xres).isEmpty()); // stride too short
        QVERIFY(encoder.encode(nullptr, xres, yres, stride).isEmpty());
    }

    void alarmsFollowTheirDurations()
    {
        AlarmSettings settings; // black, frozen, nosignal 2 s; silent 5 s
        AlarmDetector detector;
        detector.restart(0);
        QList<AlarmDetector::Change> log;
        int step = 0;
        // Ten updates a second; the picture is `picture(t)`, levels `level(t)`.
        auto run = [&](qint64 untilMs, const std::function<PictureProbe(qint64)> &picture,
                       double level, bool pictures = true) {
            for (qint64 t = step * 100; t <= untilMs; t = ++step * 100) {
                AlarmDetector::Input in;
                in.nowMs = t;
                in.sourceSet = true;
                in.newPicture = pictures;
                in.probe = picture(t);
                in.levelDb[0] = in.levelDb[1] = level;
                in.sendsAudio = true;
                log += detector.update(in, settings);
            }
        };
        auto moving = [](qint64 t) { return flat(uint8_t(60 + (t / 100) % 100)); };
        run(3000, moving, -20);
        QVERIFY(log.isEmpty());
        run(
            6000, [](qint64) { return flat(16); }, -20); // black from 3.1 s
        QCOMPARE(log.size(), 1);
        QVERIFY(log[0].kind == AlarmSettings::Black && log[0].active && log[0].sinceMs == 3100);
        run(7000, moving, -20); // cleared by the first lit picture, frozen never (black)
        QCOMPARE(log.size(), 2);
        QVERIFY(log[1].kind == AlarmSettings::Black && !log[1].active);
        run(
            9500, [](qint64) { return flat(90); }, -90); // frozen and quiet from 7.1 s
        QCOMPARE(log.size(), 3);
        QVERIFY(log[2].kind == AlarmSettings::Frozen && log[2].active && log[2].sinceMs == 7100);
        run(
            12500, [](qint64) { return flat(90); }, -90, false); // pictures stop at 9.6 s
        // frozen ends a second after the last picture; nosignal two seconds after it;
        // silent is due five seconds after 7.1 s.
        QCOMPARE(log.size(), 6);
        QVERIFY(log[3].kind == AlarmSettings::Frozen && !log[3].active);
        QVERIFY(log[4].kind == AlarmSettings::NoSignal && log[4].active && log[4].sinceMs == 9500);
        QVERIFY(log[5].kind == AlarmSettings::Silent && log[5].active && log[5].sinceMs == 7100);

        // Switched off: the active alarm clears and nothing new is raised.
        AlarmSettings off;
        QVERIFY(settings.applied({{"nosignal", QJsonObject{{"enabled", false}}}}, &off, nullptr));
        settings = off;
        run(
            13000, [](qint64) { return flat(90); }, -90, false);
        QCOMPARE(log.size(), 7);
        QVERIFY(log[6].kind == AlarmSettings::NoSignal && !log[6].active);
        // A new source clears what is left.
        const QList<AlarmDetector::Change> cleared = detector.restart(13100);
        QVERIFY(cleared.size() == 1 && cleared[0].kind == AlarmSettings::Silent &&
                !cleared[0].active);
    }

    void feedUsesTheSharedConnectionOnlyWhenNoTileDoes()
    {
        auto connection = std::make_shared<FakeReceiverConnection>();
        QVERIFY(connection->setSource(0, "cam", "127.0.0.1:5961"));
        MediaConnectionPtr table = connection; // the source table's reference
        WindowFeed feed(1);
        auto lookup = [&](const QString &name) {
            return name == "cam" ? table : MediaConnectionPtr();
        };
        auto step = [&] { return feed.update("cam", lookup, MediaConnection::nowMs()); };

        QVERIFY(step().sourceChanged);
        QVERIFY(feed.holdsUser()); // no tile: the feed wants the low stream itself
        QCOMPARE(connection->videoUserCount(MediaConnection::Low), 1);
        QVERIFY(drtest::waitUntil([&] { return step(), feed.state() == "play"; }, 5000));
        QVERIFY(drtest::waitUntil([&] { return step(), qAbs(feed.level(0) + 6.0) < 0.1; }, 5000));
        QVERIFY(feed.sendsAudio() && feed.probe().valid && feed.picture());

        // A tile in high bandwidth: the feed steps back and reads the tile's stream.
        const void *tile = reinterpret_cast<const void *>(0x1000);
        connection->addVideoUser(MediaConnection::High, tile);
        step();
        QVERIFY(!feed.holdsUser());
        QCOMPARE(connection->videoUserCount(MediaConnection::Low), 0);
        QVERIFY(drtest::waitUntil(
            [&] {
                step();
                return feed.picture() && feed.picture()->frame.xres == 1280;
            },
            5000));
        QVERIFY(drtest::waitUntil([&] { return !connection->streamOpened(MediaConnection::Low); },
                                  5000));
        connection->removeVideoUser(MediaConnection::High, tile);
        step();
        QVERIFY(feed.holdsUser());

        // The source came back with a new connection: the feed follows; no source: idle.
        auto next = std::make_shared<FakeReceiverConnection>();
        QVERIFY(next->setSource(0, "cam", "127.0.0.1:5961"));
        table = next;
        step();
        QCOMPARE(connection->videoUserCount(MediaConnection::Low), 0);
        QCOMPARE(next->videoUserCount(MediaConnection::Low), 1);
        table.reset();
        step();
        QCOMPARE(feed.state(), QString("failed"));
        feed.update("", lookup, MediaConnection::nowMs());
        QCOMPARE(feed.state(), QString("idle"));
        QCOMPARE(next->videoUserCount(MediaConnection::Low), 0);
        QCOMPARE(next->counters->stops.load(), 0); // this test still holds it: not stopped
    }

    void settingsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/alarms.json";
        AlarmSettings changed;
        QString why;
        QVERIFY(AlarmSettings().applied(
            {{"silent", QJsonObject{{"seconds", 3}, {"threshold", -50}}}}, &changed, &why));
        QVERIFY(changed.save(path));
        const AlarmSettings loaded = AlarmSettings::load(path);
        QCOMPARE(loaded.toJson(), changed.toJson());
        QCOMPARE(loaded.rule(AlarmSettings::Black).seconds, 2.0); // untouched kinds keep defaults

        // A broken kind costs only itself; a broken file gives the defaults.
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"silent": {"seconds": -4}, "black": {"seconds": 7}})");
        file.close();
        QCOMPARE(AlarmSettings::load(path).rule(AlarmSettings::Black).seconds, 7.0);
        QCOMPARE(AlarmSettings::load(path).rule(AlarmSettings::Silent).seconds, 5.0);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{not json");
        file.close();
        QCOMPARE(AlarmSettings::load(path).toJson(), AlarmSettings().toJson());
    }
};

QTEST_GUILESS_MAIN(TestMonitorUnits)
#include "tst_monitor_units.moc"
