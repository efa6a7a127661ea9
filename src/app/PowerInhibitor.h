// Keeps the display and the system awake while the application runs, through the
// freedesktop inhibit interfaces on the D-Bus session bus:
//   org.freedesktop.ScreenSaver       /org/freedesktop/ScreenSaver            (display)
//   org.freedesktop.PowerManagement   /org/freedesktop/PowerManagement/Inhibit (system)
// Each interface is optional: what is missing is logged and skipped. Everything taken is
// given back by release() or the destructor.
//
// Thread: main thread only. No locks.
#pragma once

#include <QDBusConnection>
#include <QString>

class PowerInhibitor
{
public:
    // `connection` defaults to the session bus; tests hand a private one.
    PowerInhibitor();
    explicit PowerInhibitor(const QDBusConnection &connection);
    ~PowerInhibitor();
    PowerInhibitor(const PowerInhibitor &) = delete;
    PowerInhibitor &operator=(const PowerInhibitor &) = delete;

    // Asks both services to inhibit sleep; returns how many accepted (0, 1 or 2).
    int inhibit(const QString &applicationName, const QString &reason);
    // Gives back every inhibition taken.
    void release();

    bool displayInhibited() const { return m_screenSaverCookie != 0; }
    bool systemInhibited() const { return m_powerCookie != 0; }

private:
    quint32 call(const QString &service, const QString &path, const QString &interface,
                 const QString &applicationName, const QString &reason);
    void uninhibit(const QString &service, const QString &path, const QString &interface,
                   quint32 cookie);

    QDBusConnection m_bus;
    quint32 m_screenSaverCookie = 0;
    quint32 m_powerCookie = 0;
};
