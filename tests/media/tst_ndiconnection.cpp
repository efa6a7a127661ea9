// NDIConnection against real ndi-testsrc processes through our runtime: shared receivers and
// delayed close, fallback to the low stream, frame-rate timers, the capabilities a source
// reports, tally and the NTP exchange with a device of the maker, and a source that dies
// under a connection. Switching and levels: tst_mediaconnection, and the app on screen.
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

    void lowUsersShareOneReceiverAndTheRateDrivesTheTimer()
    {
        QVERIFY(open({"--resolution", "1280x720", "--fps", "60000/1001", "--no-audio"}));
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

        QCOMPARE(connection->getInterval(1), 33);
        connection->addVideoUser(1, windowA);
        QVERIFY(drtest::waitUntil([&] { return connection->getInterval(1) == 16; }, 10000));
        int xres = 0, yres = 0;
        float fps = 0;
        QVERIFY(connection->getVideoInfo(1, &xres, &yres, &fps));
        QCOMPARE(QSize(xres, yres), QSize(1280, 720));
        QVERIFY(qAbs(fps - 59.94f) < 0.01f);
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

    void capabilitiesTallyAndNtpReachTheSender()
    {
        QVERIFY(
            open({"--maker", "--maker-interval", "200", "--web-url", "http://10.0.0.7/", "--ptz"}));
        connection->addVideoUser(2, windowA);
        QVERIFY(waitForFrame(*connection, 2));
        connection->setTallyUser(true, true, windowA);
        QVERIFY(source->waitForOutput("program=1 preview=1", 5000));
        connection->setTallyUser(false, false, windowA);
        QVERIFY(source->waitForOutput("program=0 preview=0", 5000));

        // Before ntp-set: the device's status is read but the sync state is ours to judge.
        CapabilitiesPtr caps;
        auto capsWhen = [&](auto ok) {
            return drtest::waitUntil(
                [&] { return (caps = connection->getCapabilities(2)) && ok(); }, 10000);
        };
        QVERIFY(capsWhen([&] { return caps->vendor == "Varimont"; }));
        QCOMPARE(caps->ntp_state, QByteArray("unsync"));
        QCOMPARE(caps->bitrate, 8000);
        QCOMPARE(caps->web_url, QByteArray("http://10.0.0.7/"));
        QVERIFY(caps->support_ptz);

        connection->applyNtp("ntp.example & co");
        QVERIFY(source->waitForOutput("<ntp-set><Server>ntp.example &amp; co</Server></ntp-set>",
                                      5000));
        QVERIFY(capsWhen([&] { return caps->ntp_state == "sync"; }));
        QCOMPARE(caps->ntp_server, QByteArray("ntp.example & co"));
    }

    void stickedConnectionOnlyPollsAndOutlivesItsSource()
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

        // A source that dies under a user: the connection keeps answering and closes cleanly.
        connection->addVideoUser(2, windowA);
        QVERIFY(waitForFrame(*connection, 2));
        source->kill();
        QTest::qWait(500);
        double levels[MediaConnection::kMaxChannels];
        connection->getAudioLevels(levels);
        connection->getVideoFrame(2);
        connection->removeVideoUser(2, windowA);
    }
};

QTEST_GUILESS_MAIN(TestNdiConnection)
#include "tst_ndiconnection.moc"
