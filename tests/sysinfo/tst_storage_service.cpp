// The storage routes inside one process, where the window model and the monitor can be
// looked at directly: the free-space hand-off and a store path whose folder vanished.
// The disk is a small tmpfs mounted by the test (root only), so free space moves only
// when the test writes.
#include "TestSupport.h"
#include "TmpfsMount.h"
#include "control/DaemonService.h"
#include "control/WindowObject.h"
#include "sysinfo/SystemMonitor.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeMiB(const QString &path, double mib)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(QByteArray(qint64(mib * 1048576), 'x')), qint64(mib * 1048576));
}

} // namespace

class TestStorageService : public QObject
{
    Q_OBJECT

private:
    QString api(const DaemonService &service, const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/api%2").arg(service.serverPort()).arg(path);
    }

private slots:
    // The window model learns the free space only when it moved by more than 1 MiB.
    void freeSpaceHandOff()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.available())
            QSKIP(qPrintable(tmpfs.reason()));
        QTemporaryDir data;
        DaemonService service;
        QVERIFY(service.init(data.path(), drtest::buildDir(), 0));
        QVERIFY(service.startHttpServer());
        WindowObject &windows = *service.windowObject();

        // No store path: an empty list and nothing handed over.
        QCOMPARE(drtest::httpGet(api(service, "/storage/getDeviceList.json")).json(),
                 (QJsonObject{{"result", "ok"}, {"data", QJsonArray{}}}));
        QCOMPARE(service.freeSpace(), -1.0);

        QCOMPARE(
            drtest::httpPostJson(api(service, "/storage/set.json"), {{"storePath", tmpfs.path()}})
                .json()["result"],
            QStringLiteral("ok"));
        QCOMPARE(service.sysInfo()->diskPath(), tmpfs.path());
        QJsonObject reply = drtest::httpGet(api(service, "/storage/getDeviceList.json")).json();
        QCOMPARE(reply["result"].toString(), QStringLiteral("ok"));
        QCOMPARE(reply["data"].toArray().at(0).toObject()["name"].toString(), tmpfs.path());
        const double first = windows.freeSpace();
        QVERIFY2(qAbs(first - 16.0) <= 1.0, qPrintable(QString::number(first)));
        QCOMPARE(service.freeSpace(), first);

        writeMiB(tmpfs.path() + "/half", 0.5); // below the threshold: kept
        drtest::httpGet(api(service, "/storage/getDeviceList.json"));
        QCOMPARE(windows.freeSpace(), first);

        writeMiB(tmpfs.path() + "/more", 1.5); // 2 MiB in all: handed over
        drtest::httpGet(api(service, "/storage/getDeviceList.json"));
        QVERIFY2(qAbs(first - windows.freeSpace() - 2.0) < 0.2,
                 qPrintable(QString::number(windows.freeSpace())));
        QCOMPARE(service.freeSpace(), windows.freeSpace());
        service.closeWindow();
    }

    // A store path whose folder vanished: error body, path and disk cleared, no test.
    void vanishedFolderClearsTheStorePath()
    {
        QTemporaryDir data;
        QTemporaryDir disk;
        const QString folder = disk.filePath("recordings");
        QVERIFY(QDir().mkpath(folder));
        DaemonService service;
        QVERIFY(service.init(data.path(), drtest::buildDir(), 0));
        QVERIFY(service.startHttpServer());
        drtest::httpPostJson(api(service, "/storage/set.json"), {{"storePath", folder}});
        QVERIFY(!service.sysInfo()->diskPath().isEmpty());
        QCOMPARE(drtest::httpGet(api(service, "/storage/getAvailable.json"))
                     .json()["data"]
                     .toObject()["isAvailable"],
                 true);

        QVERIFY(QDir(folder).removeRecursively());
        QCOMPARE(drtest::httpGet(api(service, "/performance/getDiskMaxSpeed.json")).json(),
                 (QJsonObject{{"result", "error"}}));
        QCOMPARE(drtest::httpGet(api(service, "/storage/getDeviceList.json")).json(),
                 (QJsonObject{{"result", "error"}, {"msg", "Get disk capacity failed!"}}));
        QCOMPARE(service.windowObject()->storePath(), QString());
        QCOMPARE(service.sysInfo()->diskPath(), QString());
        QCOMPARE(service.sysInfo()->monitorProcessId(), qint64(0));
        QCOMPARE(drtest::httpGet(api(service, "/storage/getAvailable.json"))
                     .json()["data"]
                     .toObject()["isAvailable"],
                 false);
        // Polling on with no path is quiet.
        QCOMPARE(drtest::httpGet(api(service, "/storage/getDeviceList.json")).json(),
                 (QJsonObject{{"result", "ok"}, {"data", QJsonArray{}}}));
        service.closeWindow();
    }
};

QTEST_GUILESS_MAIN(TestStorageService)
#include "tst_storage_service.moc"
