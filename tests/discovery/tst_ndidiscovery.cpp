// The discovery loop against a real ndi-testsrc process through our runtime: a UTF-8 name
// listed with its address, its capabilities reaching the table through the connection, and,
// once killed, ageing out while its connection survives its holder.
#include "../media/NdiSourceProcess.h"

#include "discovery/SourceManager.h"
#include "media/MediaReaper.h"

#include <QJsonArray>
#include <QTest>

using namespace mediatest;

namespace {

QJsonObject listed(SourceManager &manager, const QString &name)
{
    for (const QJsonValue &v : manager.getSourcesJson().value("data").toArray()) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return {};
}

} // namespace

class TestNdiDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        isolatedRuntimeEnv();
        // Probes of the sources' host go to a closed port.
        qputenv(SourceManager::kProbePortEnv, QByteArray::number(drtest::freeTcpPort()));
        if (!NdiLibrary::instance())
            QFAIL(qPrintable("no runtime: " + QString::fromStdString(NdiLibrary::instanceError())));
    }

    void sourceIsListedReportsAndAgesOutWhileHeld()
    {
        NdiSourceProcess source;
        QVERIFY(source.start(QString::fromUtf8("Bühne 東 – Kamera"),
                             {"--web-url", "http://127.0.0.1:8080/", "--ptz"}));
        SourceManager manager;
        QList<QVariantList> updates; // sourceUpdated, queued: the discovery thread emits too
        connect(
            &manager, &SourceManager::sourceUpdated, &manager,
            [&](QString type, QString name, QString address, QString url, QString, bool ptz, bool) {
                updates.append({type, name, address, url, ptz});
            },
            Qt::QueuedConnection);
        manager.startDiscover();
        QVERIFY(drtest::waitUntil([&] { return bool(manager.getConnection(source.fullName())); },
                                  5000));
        QCOMPARE(manager.getAddress(source.fullName()), source.address());
        // The device did not answer the probe: not one of the maker's.
        QVERIFY(drtest::waitUntil(
            [&] { return manager.getDeviceVendor(source.fullName()) == "Other"; }, 5000));

        // A window shows it in low bandwidth: frames arrive and the connection reports.
        MediaConnectionPtr held = manager.getConnection(source.fullName());
        held->start();
        held->addVideoUser(2, windowA);
        QVERIFY(waitForFrame(*held, 2));
        const QVariantList reported{"general-ndi", source.fullName(), source.address(),
                                    "http://127.0.0.1:8080/", true};
        QVERIFY(drtest::waitUntil([&] { return updates.contains(reported); }, 15000));
        QCOMPARE(listed(manager, source.fullName()).value("url").toString(),
                 QString("http://127.0.0.1:8080/"));
        QVERIFY(manager.getSupportPTZ(source.fullName()));

        std::weak_ptr<MediaConnection> watch = held;
        updates.clear();
        source.kill();
        const QVariantList removed{"none", source.fullName(), "", "", false};
        QVERIFY(drtest::waitUntil([&] { return updates.contains(removed); }, 10000));
        QTest::qWait(500);
        QCOMPARE(updates.count(removed), 1); // reported once
        QVERIFY(listed(manager, source.fullName()).isEmpty());
        QVERIFY(!manager.getConnection(source.fullName()));

        // The holder still has a working connection; it goes when the holder lets go.
        QVERIFY(!watch.expired());
        held->getVideoFrame(2);
        double levels[MediaConnection::kMaxChannels];
        held->getAudioLevels(levels);
        held->removeVideoUser(2, windowA);
        held->stop();
        held.reset();
        MediaReaper::drain();
        QVERIFY(watch.expired());
        manager.stopDiscover();
    }
};

QTEST_GUILESS_MAIN(TestNdiDiscovery)
#include "tst_ndidiscovery.moc"
