// Sleep inhibit over D-Bus against stand-in desktop services on a private bus.
#include "app/PowerInhibitor.h"

#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QtTest>

// A stand-in for one freedesktop inhibit service. Lives on its own thread so that the
// blocking calls of the code under test are answered.
class FakeInhibitService : public QObject
{
    Q_OBJECT
public:
    explicit FakeInhibitService(quint32 firstCookie) : m_next(firstCookie) {}

    QSet<quint32> active() const
    {
        QMutexLocker lock(&m_mutex);
        return m_active;
    }
    QStringList callers() const
    {
        QMutexLocker lock(&m_mutex);
        return m_callers;
    }
    QList<quint32> released() const
    {
        QMutexLocker lock(&m_mutex);
        return m_released;
    }

public slots:
    uint Inhibit(const QString &application, const QString &reason)
    {
        QMutexLocker lock(&m_mutex);
        m_callers << application + "|" + reason;
        m_active.insert(m_next);
        return m_next++;
    }
    void UnInhibit(uint cookie)
    {
        QMutexLocker lock(&m_mutex);
        m_released << cookie;
        m_active.remove(cookie);
    }

private:
    mutable QMutex m_mutex;
    quint32 m_next;
    QSet<quint32> m_active;
    QStringList m_callers;
    QList<quint32> m_released;
};

class ScreenSaverService : public FakeInhibitService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    ScreenSaverService() : FakeInhibitService(100) {}
};

class PowerManagementService : public FakeInhibitService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PowerManagement.Inhibit")
public:
    PowerManagementService() : FakeInhibitService(500) {}
};

class TestPowerInhibitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_address = "unix:path=" + m_dir.filePath("bus");
        QVERIFY(m_bus.start("dbus-daemon",
                            {"--session", "--nofork", "--nopidfile", "--address=" + m_address}));
        QVERIFY(drtest::waitUntil([&] { return QFile::exists(m_dir.filePath("bus")); }, 10000));
        m_serviceThread.start();
    }

    void cleanupTestCase()
    {
        m_serviceThread.quit();
        m_serviceThread.wait();
        m_bus.stop();
    }

    void inhibitsDisplayAndSystemAndReleases()
    {
        ScreenSaverService screen;
        PowerManagementService power;
        QVERIFY(publish("screen-and-power", &screen, &power));
        {
            PowerInhibitor inhibitor(client("c1"));
            QCOMPARE(inhibitor.inhibit("desk-recorder", "recording"), 2);
            QVERIFY(inhibitor.displayInhibited() && inhibitor.systemInhibited());
            QCOMPARE(screen.callers(), QStringList{"desk-recorder|recording"});
            QCOMPARE(power.callers(), QStringList{"desk-recorder|recording"});
            QCOMPARE(screen.active().size(), 1);
            QCOMPARE(power.active().size(), 1);

            // A second request takes nothing more.
            QCOMPARE(inhibitor.inhibit("desk-recorder", "recording"), 2);
            QCOMPARE(screen.callers().size(), 1);

            inhibitor.release();
            QVERIFY(screen.active().isEmpty());
            QVERIFY(power.active().isEmpty());
            QCOMPARE(screen.released(), QList<quint32>{100});
            QCOMPARE(power.released(), QList<quint32>{500});

            // Taken again, then left to the destructor.
            QCOMPARE(inhibitor.inhibit("desk-recorder", "again"), 2);
            QCOMPARE(screen.active().size(), 1);
        }
        QVERIFY(screen.active().isEmpty());
        QVERIFY(power.active().isEmpty());
        unpublish("screen-and-power");
    }

    void missingServicesAreSkipped()
    {
        ScreenSaverService screen;
        QVERIFY(publish("screen-only", &screen, nullptr));
        PowerInhibitor inhibitor(client("c2"));
        QCOMPARE(inhibitor.inhibit("desk-recorder", "recording"), 1);
        QVERIFY(inhibitor.displayInhibited());
        QVERIFY(!inhibitor.systemInhibited());
        inhibitor.release();
        QVERIFY(screen.active().isEmpty());
        unpublish("screen-only");

        PowerInhibitor nobody(client("c3"));
        QCOMPARE(nobody.inhibit("desk-recorder", "recording"), 0);
    }

    void noBusIsNotAnError()
    {
        PowerInhibitor inhibitor(QDBusConnection(QStringLiteral("never-connected")));
        QCOMPARE(inhibitor.inhibit("desk-recorder", "recording"), 0);
        inhibitor.release();
    }

private:
    QDBusConnection client(const QString &name)
    {
        return QDBusConnection::connectToBus(m_address, name);
    }

    bool publish(const QString &name, ScreenSaverService *screen, PowerManagementService *power)
    {
        QDBusConnection bus = QDBusConnection::connectToBus(m_address, name);
        if (!bus.isConnected())
            return false;
        if (screen) {
            screen->moveToThread(&m_serviceThread);
            if (!bus.registerObject("/org/freedesktop/ScreenSaver", screen,
                                    QDBusConnection::ExportAllSlots) ||
                !bus.registerService("org.freedesktop.ScreenSaver"))
                return false;
        }
        if (power) {
            power->moveToThread(&m_serviceThread);
            if (!bus.registerObject("/org/freedesktop/PowerManagement/Inhibit", power,
                                    QDBusConnection::ExportAllSlots) ||
                !bus.registerService("org.freedesktop.PowerManagement"))
                return false;
        }
        return true;
    }

    void unpublish(const QString &name)
    {
        QDBusConnection::disconnectFromBus(name);
        // Wait until the bus has dropped the names, so later cases start without them.
        QDBusConnection probe = QDBusConnection::connectToBus(m_address, "probe-" + name);
        QVERIFY(drtest::waitUntil(
            [&] {
                return !probe.interface()->isServiceRegistered("org.freedesktop.ScreenSaver") &&
                       !probe.interface()->isServiceRegistered("org.freedesktop.PowerManagement");
            },
            5000));
    }

    QTemporaryDir m_dir;
    QString m_address;
    drtest::ChildProcess m_bus;
    QThread m_serviceThread;
};

QTEST_GUILESS_MAIN(TestPowerInhibitor)
#include "tst_powerinhibitor.moc"
