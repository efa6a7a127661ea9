// The discovery loop against real ndi-testsrc processes through our runtime: UTF-8 names,
// capability updates from the connections, groups applied at the next round, and a killed
// source ageing out while its connection survives its holders.
#include "../media/NdiSourceProcess.h"

#include "discovery/SourceManager.h"
#include "media/MediaReaper.h"

#include <QJsonArray>
#include <QTest>

using mediatest::NdiSourceProcess;

namespace {

const void *const window = reinterpret_cast<const void *>(0x1000);

QString uniqueName(const QString &base)
{
    static int counter = 0;
    return QString("%1 %2-%3").arg(base).arg(QCoreApplication::applicationPid()).arg(++counter);
}

QJsonObject listed(SourceManager &manager, const QString &name)
{
    const QJsonArray data = manager.getSourcesJson().value("data").toArray();
    for (const QJsonValue &v : data) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return {};
}

// Collects a signal's arguments on the test's thread (queued: the discovery thread emits too).
template <typename... Args> class Collected : public QList<QList<QVariant>>
{
public:
    template <typename Sender>
    Collected(Sender *sender, void (Sender::*signal)(Args...), QObject *context)
    {
        QObject::connect(
            sender, signal, context,
            [this](Args... args) { append({QVariant::fromValue(args)...}); }, Qt::QueuedConnection);
    }
};
using SourceUpdates = Collected<QString, QString, QString, QString, QString, bool, bool>;
using NtpUpdates = Collected<QString, QString, QString, int, QString, QString>;

} // namespace

class TestNdiDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        mediatest::isolatedRuntimeEnv();
        // Probes of the sources' host go to a closed port.
        qputenv(SourceManager::kProbePortEnv, QByteArray::number(drtest::freeTcpPort()));
        if (!NdiLibrary::instance())
            QFAIL(qPrintable("no runtime: " + QString::fromStdString(NdiLibrary::instanceError())));
    }
    void cleanup() { MediaReaper::drain(); }

    void utf8SourceIsListedWithItsAddress()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName(QString::fromUtf8("Bühne 東 – Kamera")),
                             {"--resolution", "640x360"}));
        SourceManager manager;
        manager.startDiscover();
        QJsonObject entry;
        QVERIFY(drtest::waitUntil(
            [&] {
                entry = listed(manager, source.fullName());
                return !entry.isEmpty();
            },
            5000));
        QCOMPARE(entry.value("ip").toString(), source.address());
        QCOMPARE(entry.value("stream_id").toString(), source.fullName());
        QCOMPARE(manager.getAddress(source.fullName()), source.address());
        // The device did not answer the probe: not one of the maker's.
        QVERIFY(drtest::waitUntil(
            [&] { return manager.getDeviceVendor(source.fullName()) == "Other"; }, 5000));
        QCOMPARE(listed(manager, source.fullName()).value("official").toBool(true), false);

        // The listed connection receives the source under its UTF-8 name.
        MediaConnectionPtr connection = manager.getConnection(source.fullName());
        QVERIFY(connection);
        connection->start();
        connection->addVideoUser(2, window);
        QVERIFY(drtest::waitUntil(
            [&] {
                const VideoFramePtr frame = connection->getVideoFrame(2);
                return frame && frame->frame.p_data;
            },
            10000));
        connection->removeVideoUser(2, window);
        manager.stopDiscover();
    }

    void capabilitiesReachTheTable()
    {
        NdiSourceProcess plain;
        NdiSourceProcess maker;
        QVERIFY(plain.start(uniqueName("caps"), {"--resolution", "640x360", "--web-url",
                                                 "http://127.0.0.1:8080/", "--ptz"}));
        QVERIFY(maker.start(uniqueName("maker"),
                            {"--resolution", "640x360", "--maker", "--maker-bitrate", "7000"}));
        SourceManager manager;
        SourceUpdates sources(&manager, &SourceManager::sourceUpdated, this);
        NtpUpdates ntp(&manager, &SourceManager::ntpUpdated, this);
        manager.startDiscover();
        QVERIFY(drtest::waitUntil(
            [&] {
                return manager.getConnection(plain.fullName()) &&
                       manager.getConnection(maker.fullName());
            },
            5000));
        // Windows showing both in low bandwidth: the connections report every 5 s.
        for (const QString &name : {plain.fullName(), maker.fullName()}) {
            MediaConnectionPtr c = manager.getConnection(name);
            c->start();
            c->addVideoUser(2, window);
        }
        QVERIFY(drtest::waitUntil(
            [&] {
                for (const QList<QVariant> &args : sources) {
                    if (args.at(1).toString() == plain.fullName())
                        return true;
                }
                return false;
            },
            15000));
        const QList<QVariant> &args = *std::find_if(sources.begin(), sources.end(), [&](auto &a) {
            return a.at(1).toString() == plain.fullName();
        });
        QCOMPARE(args.at(0).toString(), QString("general-ndi"));
        QCOMPARE(args.at(2).toString(), plain.address());
        QCOMPARE(args.at(3).toString(), QString("http://127.0.0.1:8080/"));
        QCOMPARE(args.at(5).toBool(), true);
        QCOMPARE(manager.getWebUrl(plain.fullName()), QString("http://127.0.0.1:8080/"));
        QVERIFY(manager.getSupportPTZ(plain.fullName()));
        QCOMPARE(listed(manager, plain.fullName()).value("url").toString(),
                 QString("http://127.0.0.1:8080/"));

        // The maker's device reports its NTP part through ntpUpdated.
        QVERIFY(drtest::waitUntil(
            [&] {
                for (const QList<QVariant> &a : ntp) {
                    if (a.at(1).toString() == maker.fullName())
                        return true;
                }
                return false;
            },
            15000));
        for (const QList<QVariant> &a : ntp) {
            if (a.at(1).toString() != maker.fullName())
                continue;
            QCOMPARE(a.at(2).toString(), QString("unsync")); // we never sent it a server
            QCOMPARE(a.at(3).toInt(), 7000);
            QCOMPARE(a.at(4).toString(), QString("Varimont"));
            break;
        }
        QVERIFY(!std::any_of(ntp.begin(), ntp.end(),
                             [&](auto &a) { return a.at(1).toString() == plain.fullName(); }));
        manager.stopDiscover();
    }

    void groupsApplyAtTheNextRound()
    {
        NdiSourceProcess studio;
        QVERIFY(studio.start(uniqueName("grouped"),
                             {"--resolution", "640x360", "--groups", "studio", "--no-audio"}));
        SourceManager manager;
        manager.startDiscover();
        QTest::qWait(1500);
        QVERIFY(listed(manager, studio.fullName()).isEmpty()); // not in "public"
        manager.setNDIManualTargets("public,studio", "");
        QVERIFY(
            drtest::waitUntil([&] { return !listed(manager, studio.fullName()).isEmpty(); }, 5000));
        QCOMPARE(manager.groups(), QString("public,studio"));
        manager.stopDiscover();
    }

    void killedSourceAgesOutWhileHeld()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(uniqueName("vanishing"), {"--resolution", "640x360"}));
        SourceManager manager;
        SourceUpdates updates(&manager, &SourceManager::sourceUpdated, this);
        manager.startDiscover();
        QVERIFY(drtest::waitUntil([&] { return bool(manager.getConnection(source.fullName())); },
                                  5000));
        MediaConnectionPtr held = manager.getConnection(source.fullName());
        held->start();
        held->addVideoUser(2, window);
        QVERIFY(drtest::waitUntil(
            [&] {
                const VideoFramePtr frame = held->getVideoFrame(2);
                return frame && frame->frame.p_data;
            },
            10000));
        std::weak_ptr<MediaConnection> watch = held;

        source.kill();
        QTest::qWait(2000);
        QVERIFY(!listed(manager, source.fullName()).isEmpty()); // kept for 5 s after the last round
        auto gone = [&] {
            return std::count_if(updates.begin(), updates.end(), [&](auto &a) {
                return a.at(0).toString() == "none" && a.at(1).toString() == source.fullName();
            });
        };
        QVERIFY(drtest::waitUntil([&] { return gone() > 0; }, 10000));
        QVERIFY(listed(manager, source.fullName()).isEmpty());
        QTest::qWait(500);
        QCOMPARE(gone(), 1); // reported once
        QVERIFY(!manager.getConnection(source.fullName()));

        // The holder still has a working connection; it goes when the holder lets go.
        QVERIFY(!watch.expired());
        held->getVideoFrame(2);
        double levels[MediaConnection::kMaxChannels];
        held->getAudioLevels(levels);
        held->removeVideoUser(2, window);
        held->stop();
        held.reset();
        MediaReaper::drain();
        QVERIFY(watch.expired());
        manager.stopDiscover();
    }
};

QTEST_GUILESS_MAIN(TestNdiDiscovery)
#include "tst_ndidiscovery.moc"
