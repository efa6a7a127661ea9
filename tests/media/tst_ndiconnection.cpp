// NDIConnection against real ndi-testsrc processes through our runtime: shared receivers and
// delayed close, bandwidth switching, fallback, frame-rate timers, audio levels, tally and
// the NTP exchange with a device of the maker.
#include "NdiSourceProcess.h"

#include "media/MediaReaper.h"
#include "media/NDIConnection.h"
#include "ndi/NdiLibrary.h"

#include <QTest>

using mediatest::NdiSourceProcess;

namespace {

const void *const windowA = reinterpret_cast<const void *>(0x1000);
const void *const windowB = reinterpret_cast<const void *>(0x2000);

bool hasData(const VideoFramePtr &frame)
{
    return frame && frame->frame.p_data;
}

QString uniqueName(const QString &base)
{
    static int counter = 0;
    return QString("%1 %2-%3").arg(base).arg(QCoreApplication::applicationPid()).arg(++counter);
}

} // namespace

class TestNdiConnection : public QObject
{
    Q_OBJECT

    std::shared_ptr<NDIConnection> connectTo(const NdiSourceProcess &source)
    {
        auto connection = std::make_shared<NDIConnection>();
        connection->setSource(0, source.fullName(), source.address());
        connection->start();
        return connection;
    }

private slots:
    void initTestCase()
    {
        mediatest::isolatedRuntimeEnv();
        if (!NdiLibrary::instance())
            QFAIL(qPrintable("no runtime: " + QString::fromStdString(NdiLibrary::instanceError())));
    }
    void cleanup() { MediaReaper::drain(); }

    void twoLowUsersShareOneReceiver()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("shared"), {"--resolution", "1280x720"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        connection->addVideoUser(2, windowB);
        VideoFramePtr frame;
        QVERIFY(drtest::waitUntil(
            [&] {
                frame = connection->getVideoFrame(2);
                return hasData(frame);
            },
            10000));
        QCOMPARE(frame->frame.xres, 640); // the proxy stream
        QCOMPARE(frame->frame.FourCC, 0x59565955u);
        frame.reset();
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 1; }, 5000));

        connection->removeVideoUser(2, windowA);
        QTest::qWait(1500);
        QCOMPARE(source.connections(), 1);
        QVERIFY(hasData(connection->getVideoFrame(2)));

        connection->removeVideoUser(2, windowB);
        QTest::qWait(300);
        QVERIFY(connection->streamOpened(2)); // the grace second has not passed
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 0; }, 5000));
        QVERIFY(!connection->streamOpened(2));
        QVERIFY(!source.output().contains("connections \"" + source.fullName() + "\" 2"));
    }

    void switchingBandwidthKeepsFrames()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("switch"), {"--resolution", "1280x720"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        QVERIFY(drtest::waitUntil([&] { return hasData(connection->getVideoFrame(2)); }, 10000));

        // The window moves to high bandwidth, as the render item does.
        connection->addVideoUser(1, windowA);
        connection->removeVideoUser(2, windowA);
        int lowFrames = 0;
        bool highArrived = false;
        for (int i = 0; i < 500 && !highArrived; ++i) {
            const VideoFramePtr frame = connection->getVideoFrame(1);
            QVERIFY2(hasData(frame), "a frame without picture while switching");
            if (frame->frame.xres == 1280)
                highArrived = true;
            else
                ++lowFrames;
            QTest::qWait(20);
        }
        QVERIFY(highArrived);
        QVERIFY(lowFrames > 0); // the low picture bridged the switch
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getVideoFrame(1);
                return !connection->streamOpened(2);
            },
            5000));
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 1; }, 5000));
    }

    void silentHighBringsUpLow()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("fallback"), {"--resolution", "1280x720"}));
        auto connection = std::make_shared<NDIConnection>();
        // The high stream points at a source that does not exist: it never delivers.
        const QString dead = "127.0.0.1:" + QString::number(drtest::freeTcpPort());
        connection->setSource(1, uniqueName("nobody"), dead);
        connection->setSource(2, source.fullName(), source.address());
        connection->start();
        connection->addVideoUser(1, windowA);
        VideoFramePtr frame;
        QVERIFY(drtest::waitUntil(
            [&] {
                frame = connection->getVideoFrame(1);
                return hasData(frame);
            },
            10000));
        QCOMPARE(frame->frame.xres, 640);
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(connection->videoUserCount(2), 0);
    }

    void frameRateDrivesTheTimer()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("rate"),
                             {"--resolution", "640x360", "--fps", "60000/1001", "--no-audio"}));
        auto connection = connectTo(source);
        QCOMPARE(connection->getInterval(1), 33);
        connection->addVideoUser(1, windowA);
        QVERIFY(drtest::waitUntil([&] { return connection->getInterval(1) == 16; }, 10000));
        int xres = 0, yres = 0;
        float fps = 0;
        QVERIFY(connection->getVideoInfo(1, &xres, &yres, &fps));
        QCOMPARE(xres, 640);
        QCOMPARE(yres, 360);
        QVERIFY(qAbs(fps - 59.94f) < 0.01f);
    }

    void toneLevelIsReported()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("tone"), {"--resolution", "640x360", "--level", "-6",
                                                  "--tone", "1000,440", "--channels", "2"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        double levels[MediaConnection::kMaxChannels];
        // Settled once two consecutive reads agree and are above silence.
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getAudioLevels(levels);
                return levels[0] > -7.0 && levels[1] > -7.0;
            },
            10000));
        QTest::qWait(300);
        QCOMPARE(connection->getAudioLevels(levels), 2);
        QVERIFY2(qAbs(levels[0] + 6.0) < 0.5, qPrintable(QString::number(levels[0])));
        QVERIFY2(qAbs(levels[1] + 6.0) < 0.5, qPrintable(QString::number(levels[1])));
        QCOMPARE(levels[2], -200.0);
    }

    void tallyAndNtpReachTheSender()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("maker"),
                             {"--resolution", "640x360", "--maker", "--maker-interval", "200",
                              "--web-url", "http://127.0.0.1:8080/", "--ptz"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        QVERIFY(drtest::waitUntil([&] { return hasData(connection->getVideoFrame(2)); }, 10000));

        connection->setTallyUser(true, true, windowA);
        QCOMPARE(connection->getTallyState(), 2);
        QVERIFY(source.waitForOutput("program=1 preview=1", 5000));
        connection->setTallyUser(false, false, windowA);
        QVERIFY(source.waitForOutput("program=0 preview=0", 5000));

        // Before ntp-set: the device's status is read but the sync state is ours to judge.
        CapabilitiesPtr caps;
        QVERIFY(drtest::waitUntil(
            [&] {
                caps = connection->getCapabilities(2);
                return caps && caps->vendor == "Varimont";
            },
            10000));
        QCOMPARE(caps->ntp_state, QByteArray("unsync"));
        QCOMPARE(caps->bitrate, 8000);
        QVERIFY(caps->support_ptz);
        QCOMPARE(caps->web_url, QByteArray("http://127.0.0.1:8080/"));
        QVERIFY(caps->has_video && caps->has_audio);

        connection->applyNtp("ntp.example & co");
        QVERIFY(source.waitForOutput("server=ntp.example & co", 5000));
        QVERIFY(
            source.output().contains("<ntp-set><Server>ntp.example &amp; co</Server></ntp-set>"));
        QVERIFY(drtest::waitUntil(
            [&] {
                caps = connection->getCapabilities(2);
                return caps && caps->ntp_state == "sync";
            },
            10000));
        QCOMPARE(caps->ntp_server, QByteArray("ntp.example & co"));
    }

    void plainSourceReportsNoDeviceStatus()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("plain"), {"--resolution", "640x360"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        CapabilitiesPtr caps;
        QVERIFY(drtest::waitUntil(
            [&] {
                caps = connection->getCapabilities(2);
                return caps && hasData(connection->getVideoFrame(2));
            },
            10000));
        QCOMPARE(caps->vendor, QByteArray());
        QCOMPARE(caps->ntp_state, QByteArray("unsync"));
        QCOMPARE(caps->bitrate, 0);
        QVERIFY(!caps->support_ptz);
    }

    void stickedConnectionOnlyPolls()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("stick"), {"--resolution", "640x360"}));
        auto connection = connectTo(source);
        QVERIFY(connection->setSticked(true));
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 2; }, 10000));
        QTest::qWait(300);
        {
            const VideoFramePtr frame = connection->getVideoFrame(2);
            QVERIFY(frame);           // connected...
            QVERIFY(!hasData(frame)); // ...but no picture taken
        }
        double levels[MediaConnection::kMaxChannels];
        connection->getAudioLevels(levels);
        QCOMPARE(levels[0], -200.0);
        connection->setSticked(false);
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 0; }, 5000));
    }

    void frameOutlivesItsReceiverStream()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("held"), {"--resolution", "640x360"}));
        auto connection = connectTo(source);
        connection->addVideoUser(2, windowA);
        VideoFramePtr frame;
        QVERIFY(drtest::waitUntil(
            [&] {
                frame = connection->getVideoFrame(2);
                return hasData(frame);
            },
            10000));
        connection->stop();
        connection.reset();
        MediaReaper::drain();
        // The frame still holds its receiver, and its pixels are still readable.
        QVERIFY(frame->owner);
        volatile uint8_t first = frame->frame.p_data[0];
        Q_UNUSED(first);
        QCOMPARE(source.connections(), 1);
        frame.reset(); // released on the GUI thread: the receiver goes on the reaper thread
        MediaReaper::drain();
        QVERIFY(drtest::waitUntil([&] { return source.connections() == 0; }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestNdiConnection)
#include "tst_ndiconnection.moc"
