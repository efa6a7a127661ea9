// The storage routes inside one process, where the window model and the monitor can be
// looked at directly: the free-space hand-off and a store path whose folder vanished.
#include "TestSupport.h"
#include "TmpfsMount.h"
#include "control/DaemonService.h"
#include "control/WindowObject.h"
#include "sysinfo/SystemMonitor.h"

#include <QJsonArray>
#include <QtTest>

namespace {

// The service of a fresh data folder, serving HTTP.
struct Service
{
    QTemporaryDir data;
    DaemonService service;

    bool start()
    {
        return service.init(data.path(), drtest::buildDir(), 0) && service.startHttpServer();
    }
    ~Service() { service.closeWindow(); }
    QString url(const char *route) const
    {
        return QString("http://127.0.0.1:%1/api/%2").arg(service.serverPort()).arg(route);
    }
    QJsonObject get(const char *route) { return drtest::httpGet(url(route)).json(); }
    void setStorePath(const QString &path)
    {
        drtest::httpPostJson(url("storage/set.json"), {{"storePath", path}});
    }
    QJsonValue isAvailable()
    {
        return get("storage/getAvailable.json").value("data")["isAvailable"];
    }
};

} // namespace

class TestStorageService : public QObject
{
    Q_OBJECT

private slots:
    // The window model learns the free space only when it moved by more than 1 MiB.
    void freeSpaceHandOff()
    {
        TmpfsMount tmpfs(16);
        if (!tmpfs.reason.isEmpty())
            QSKIP(qPrintable(tmpfs.reason));
        Service s;
        QVERIFY(s.start());
        s.setStorePath(tmpfs.path);
        QCOMPARE(s.get("storage/getDeviceList.json").value("data")[0]["name"].toString(),
                 tmpfs.path);
        const double first = s.service.windowObject()->freeSpace();
        QVERIFY2(qAbs(first - 16.0) <= 1.0, qPrintable(QString::number(first)));
        QCOMPARE(s.service.freeSpace(), first);

        const auto writeMiB = [&](const char *name, double mib) {
            QFile f(tmpfs.path + name);
            return f.open(QIODevice::WriteOnly) &&
                   f.write(QByteArray(qint64(mib * 1048576), 'x')) > 0;
        };
        QVERIFY(writeMiB("/half", 0.5)); // below the threshold: kept
        s.get("storage/getDeviceList.json");
        QCOMPARE(s.service.windowObject()->freeSpace(), first);
        QVERIFY(writeMiB("/more", 1.5)); // 2 MiB in all: handed over
        s.get("storage/getDeviceList.json");
        const double now = s.service.windowObject()->freeSpace();
        QVERIFY2(qAbs(first - now - 2.0) < 0.2, qPrintable(QString::number(now)));
        QCOMPARE(s.service.freeSpace(), now);
    }

    // A store path whose folder vanished: error body, path and disk cleared, no test.
    void vanishedFolderClearsTheStorePath()
    {
        QTemporaryDir disk;
        Service s;
        QVERIFY(s.start());
        s.setStorePath(disk.path());
        QVERIFY(!s.service.sysInfo()->diskPath().isEmpty() && s.isAvailable() == true);

        QVERIFY(disk.remove());
        QCOMPARE(s.get("performance/getDiskMaxSpeed.json"), (QJsonObject{{"result", "error"}}));
        QCOMPARE(s.get("storage/getDeviceList.json"),
                 (QJsonObject{{"result", "error"}, {"msg", "Get disk capacity failed!"}}));
        QCOMPARE(s.service.windowObject()->storePath(), QString());
        QCOMPARE(s.service.sysInfo()->diskPath(), QString());
        QCOMPARE(s.service.sysInfo()->monitorProcessId(), qint64(0));
        QCOMPARE(s.isAvailable(), false);
        // Polling on is quiet: no disks, no error.
        QCOMPARE(s.get("storage/getDeviceList.json"),
                 (QJsonObject{{"result", "ok"}, {"data", QJsonArray{}}}));
    }
};

QTEST_GUILESS_MAIN(TestStorageService)
#include "tst_storage_service.moc"
