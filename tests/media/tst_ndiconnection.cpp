// NDIConnection against real ndi-testsrc processes through our runtime: shared receivers and
// delayed close, bandwidth switching, fallback, frame-rate timers, audio levels, tally and
// the NTP exchange with a device of the maker.
#include "NdiSourceProcess.h"

#include "media/MediaReaper.h"
#include "media/NDIConnection.h"
#include "ndi/NdiLibrary.h"

#include <QTest>

using namespace mediatest;

class TestNdiConnection : public QObject
{
    Q_OBJECT

    std::unique_ptr<NdiSourceProcess> source;
    std::shared_ptr<NDIConnection> connection;

    // Starts a source and a started connection to it (both bandwidths).
    bool open(const QStringList &args = {})
    {
        source = std::make_unique<NdiSourceProcess>();
        if (!source->start("conn", args))
            return false;
        connection = std::make_shared<NDIConnection>();
        connection->setSource(0, source->fullName(), source->address());
        return connection->start();
    }

private slots:
    void initTestCase()
    {
        isolatedRuntimeEnv();
        if (!NdiLibrary::instance())
            QFAIL(qPrintable("no runtime: " + QString::fromStdString(NdiLibrary::instanceError())));
    }
    void cleanup()
    {
        connection.reset();
        source.reset();
        MediaReaper::drain();
    }

    void twoLowUsersShareOneReceiver()
    {
        QVERIFY(open({"--resolution", "1280x720"}));
        connection->addVideoUser(2, windowA);
        connection->addVideoUser(2, windowB);
        VideoFramePtr frame = waitForFrame(*connection, 2);
        QVERIFY(frame);
        QCOMPARE(frame->frame.xres, 640); // the proxy stream
        frame.reset();                    // a held frame would keep its receiver
        QVERIFY(drtest::waitUntil([&] { return source->connections() == 1; }, 5000));

        connection->removeVideoUser(2, windowA);
        QTest::qWait(1500);
        QCOMPARE(source->connections(), 1);
        connection->removeVideoUser(2, windowB);
        QTest::qWait(300);
        QVERIFY(connection->streamOpened(2)); // the grace second has not passed
        QVERIFY(drtest::waitUntil([&] { return source->connections() == 0; }, 5000));
        QVERIFY(!connection->streamOpened(2));
        QVERIFY(!source->output().contains("connections \"" + source->fullName() + "\" 2"));
    }

    void switchingBandwidthKeepsFrames()
    {
        QVERIFY(open({"--resolution", "1280x720"}));
        connection->addVideoUser(2, windowA);
        QVERIFY(waitForFrame(*connection, 2));
        // The window moves to high bandwidth, as the render item does.
        connection->addVideoUser(1, windowA);
        connection->removeVideoUser(2, windowA);
        int lowFrames = 0;
        for (int i = 0; i < 500; ++i) {
            const VideoFramePtr frame = connection->getVideoFrame(1);
            QVERIFY2(hasData(frame), "a frame without picture while switching");
            if (frame->frame.xres == 1280)
                break;
            ++lowFrames;
            QTest::qWait(20);
        }
        QCOMPARE(connection->getVideoFrame(1)->frame.xres, 1280);
        QVERIFY(lowFrames > 0); // the low picture bridged the switch
        QVERIFY(drtest::waitUntil(
            [&] {
                connection->getVideoFrame(1);
                return !connection->streamOpened(2) && source->connections() == 1;
            },
            5000));
    }

    void silentHighBringsUpLow()
    {
        QVERIFY(open({"--resolution", "1280x720"}));
        // The high stream points at a source that does not exist: it never delivers.
        connection->setSource(1, uniqueName("nobody"),
                              "127.0.0.1:" + QString::number(drtest::freeTcpPort()));
        connection->addVideoUser(1, windowA);
        const VideoFramePtr frame = waitForFrame(*connection, 1);
        QVERIFY(frame);
        QCOMPARE(frame->frame.xres, 640);
        QVERIFY(connection->streamOpened(2));
        QCOMPARE(connection->videoUserCount(2), 0); // opened as a fallback, not as a user
    }

    void frameRateDrivesTheTimer()
    {
        QVERIFY(open({"--fps", "60000/1001", "--no-audio"}));
        QCOMPARE(connection->getInterval(1), 33);
        connection->addVideoUser(1, windowA);
        QVERIFY(drtest::waitUntil([&] { return connection->getInterval(1) == 16; }, 10000));
        int xres = 0, yres = 0;
        float fps = 0;
        QVERIFY(connection->getVideoInfo(1, &xres, &yres, &fps));
        QCOMPARE(QSize(xres, yres), QSize(640, 360));
        QVERIFY(qAbs(fps - 59.94f) < 0.01f);
    }

    void toneLevelIsReported()
    {
        QVERIFY(open({"--level", "-6", "--tone", "1000,440", "--channels", "2"}));
        connection->addVideoUser(2, windowA);
        // Read until both channels show the tone: a slow (sanitizer) sender may leave a
        // block short, which reads as silence for that block.
        double levels[MediaConnection::kMaxChannels];
        int channels = 0;
        const bool reported = drtest::waitUntil(
            [&] {
                channels = connection->getAudioLevels(levels);
                return qAbs(levels[0] + 6.0) < 0.5 && qAbs(levels[1] + 6.0) < 0.5;
            },
            10000);
        QVERIFY2(reported, qPrintable(QStringLiteral("%1 / %2").arg(levels[0]).arg(levels[1])));
        QCOMPARE(channels, 2);
        QCOMPARE(levels[2], -200.0);
    }

    void tallyAndNtpReachTheSender()
    {
        QVERIFY(open({"--maker", "--maker-interval", "200"}));
        connection->addVideoUser(2, windowA);
        QVERIFY(waitForFrame(*connection, 2));
        connection->setTallyUser(true, true, windowA);
        QVERIFY(source->waitForOutput("program=1 preview=1", 5000));
        connection->setTallyUser(false, false, windowA);
        QVERIFY(source->waitForOutput("program=0 preview=0", 5000));

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

        connection->applyNtp("ntp.example & co");
        QVERIFY(source->waitForOutput("<ntp-set><Server>ntp.example &amp; co</Server></ntp-set>",
                                      5000));
        QVERIFY(drtest::waitUntil(
            [&] {
                caps = connection->getCapabilities(2);
                return caps && caps->ntp_state == "sync";
            },
            10000));
        QCOMPARE(caps->ntp_server, QByteArray("ntp.example & co"));
    }

    void stickedConnectionOnlyPolls()
    {
        QVERIFY(open());
        QVERIFY(connection->setSticked(true));
        QVERIFY(drtest::waitUntil([&] { return source->connections() == 2; }, 10000));
        QTest::qWait(300);
        {
            const VideoFramePtr frame = connection->getVideoFrame(2);
            QVERIFY(frame && !hasData(frame)); // connected, but no picture taken
        }
        connection->setSticked(false);
        QVERIFY(drtest::waitUntil([&] { return source->connections() == 0; }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestNdiConnection)
#include "tst_ndiconnection.moc"
