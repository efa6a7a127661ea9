// Sleep inhibit over D-Bus against stand-in desktop services on a private bus.
#include "app/PowerInhibitor.h"

#include "TestSupport.h"

#include <QDBusConnection>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QtTest>

// A stand-in for one freedesktop inhibit service: records "application|reason" of each call
// and the cookies not given back. Lives on the service thread so that the blocking calls of
// the code under test are answered; the mutex guards both fields.
class FakeInhibitService : public QObject
{
    Q_OBJECT
public:
    explicit FakeInhibitService(quint32 firstCookie) : m_next(firstCookie) {}
    QString state() const
    {
        QMutexLocker lock(&m_mutex);
        return QStringLiteral("%1 active, calls: %2").arg(m_active.size()).arg(m_calls.join(' '));
    }

public slots:
    uint Inhibit(const QString &application, const QString &reason)
    {
        QMutexLocker lock(&m_mutex);
        m_calls << application + "|" + reason;
        m_active.insert(m_next);
        return m_next++;
    }
    void UnInhibit(uint cookie)
    {
        QMutexLocker lock(&m_mutex);
        m_active.remove(cookie);
    }

private:
    mutable QMutex m_mutex;
    quint32 m_next;
    QSet<quint32> m_active;
    QStringList m_calls;
};

class TestPowerInhibitor : public QObject
{
    Q_OBJECT

private slots:
    // No bus or no services is not an error; what is there is taken once, and given back
    // by release() and by the destructor.
    void inhibitsWhatIsThereAndReleases()
    {
        QTemporaryDir dir;
        const QString address = "unix:path=" + dir.filePath("bus");
        drtest::ChildProcess daemon;
        QVERIFY(daemon.start("dbus-daemon",
                             {"--session", "--nofork", "--nopidfile", "--address=" + address}));
        QVERIFY(drtest::waitUntil([&] { return QFile::exists(dir.filePath("bus")); }, 10000));
        QThread serviceThread;
        serviceThread.start();
        auto cleanup = qScopeGuard([&] {
            serviceThread.quit();
            serviceThread.wait();
        });
        QDBusConnection bus = QDBusConnection::connectToBus(address, "services");
        auto client = [&](const char *id) { return QDBusConnection::connectToBus(address, id); };
        // Serves a stand-in from the service thread: interface name + suffix, path to match.
        auto serve = [&](QObject *service, const QString &name, const QString &suffix) {
            service->moveToThread(&serviceThread);
            const QString interface = name + suffix;
            return bus.registerObject("/" + QString(interface).replace('.', '/'), interface,
                                      service, QDBusConnection::ExportAllSlots) &&
                   bus.registerService(name);
        };

        QCOMPARE(PowerInhibitor(QDBusConnection("never-connected")).inhibit("a", "b"), 0);
        QCOMPARE(PowerInhibitor(client("c1")).inhibit("a", "b"), 0);

        FakeInhibitService screen(100);
        QVERIFY(serve(&screen, "org.freedesktop.ScreenSaver", ""));
        {
            PowerInhibitor inhibitor(client("c2"));
            QCOMPARE(inhibitor.inhibit("desk-recorder", "recording"), 1);
            QVERIFY(inhibitor.displayInhibited() && !inhibitor.systemInhibited());
        }
        QCOMPARE(screen.state(), QString("0 active, calls: desk-recorder|recording"));

        FakeInhibitService power(500);
        QVERIFY(serve(&power, "org.freedesktop.PowerManagement", ".Inhibit"));
        PowerInhibitor inhibitor(client("c3"));
        QCOMPARE(inhibitor.inhibit("desk-recorder", "show"), 2);
        QVERIFY(inhibitor.displayInhibited() && inhibitor.systemInhibited());
        QCOMPARE(inhibitor.inhibit("desk-recorder", "show"), 2); // takes nothing more
        QCOMPARE(power.state(), QString("1 active, calls: desk-recorder|show"));
        inhibitor.release();
        QVERIFY(!inhibitor.displayInhibited() && !inhibitor.systemInhibited());
        QCOMPARE(power.state(), QString("0 active, calls: desk-recorder|show"));
        QCOMPARE(screen.state(),
                 QString("0 active, calls: desk-recorder|recording desk-recorder|show"));
    }
};

QTEST_GUILESS_MAIN(TestPowerInhibitor)
#include "tst_powerinhibitor.moc"
