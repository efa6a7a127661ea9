#include "app/PowerInhibitor.h"

#include <QDBusMessage>
#include <QDebug>

namespace {

const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kScreenSaverInterface = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kPowerService = QStringLiteral("org.freedesktop.PowerManagement");
const QString kPowerPath = QStringLiteral("/org/freedesktop/PowerManagement/Inhibit");
const QString kPowerInterface = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");
constexpr int kCallTimeoutMs = 2000;

} // namespace

PowerInhibitor::PowerInhibitor() : m_bus(QDBusConnection::sessionBus()) {}

PowerInhibitor::PowerInhibitor(const QDBusConnection &connection) : m_bus(connection) {}

PowerInhibitor::~PowerInhibitor()
{
    release();
}

int PowerInhibitor::inhibit(const QString &applicationName, const QString &reason)
{
    if (!m_bus.isConnected()) {
        qInfo("no D-Bus session bus: display and system sleep are not inhibited");
        return 0;
    }
    if (m_screenSaverCookie == 0)
        m_screenSaverCookie = call(kScreenSaverService, kScreenSaverPath, kScreenSaverInterface,
                                   applicationName, reason);
    if (m_powerCookie == 0)
        m_powerCookie = call(kPowerService, kPowerPath, kPowerInterface, applicationName, reason);
    return (m_screenSaverCookie != 0 ? 1 : 0) + (m_powerCookie != 0 ? 1 : 0);
}

void PowerInhibitor::release()
{
    if (m_screenSaverCookie != 0)
        uninhibit(kScreenSaverService, kScreenSaverPath, kScreenSaverInterface,
                  m_screenSaverCookie);
    if (m_powerCookie != 0)
        uninhibit(kPowerService, kPowerPath, kPowerInterface, m_powerCookie);
    m_screenSaverCookie = 0;
    m_powerCookie = 0;
}

quint32 PowerInhibitor::call(const QString &service, const QString &path, const QString &interface,
                             const QString &applicationName, const QString &reason)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Inhibit"));
    message << applicationName << reason;
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qInfo().noquote() << "sleep inhibit through" << service
                          << "not available:" << reply.errorMessage();
        return 0;
    }
    const quint32 cookie = reply.arguments().constFirst().toUInt();
    if (cookie == 0) {
        // A zero cookie could not be told from "none taken"; treat it as a refusal.
        qInfo().noquote() << "sleep inhibit through" << service << "gave no cookie";
        return 0;
    }
    qInfo().noquote() << "sleep inhibited through" << service << "cookie" << cookie;
    return cookie;
}

void PowerInhibitor::uninhibit(const QString &service, const QString &path,
                               const QString &interface, quint32 cookie)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("UnInhibit"));
    message << cookie;
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qInfo().noquote() << "releasing the sleep inhibit of" << service
                          << "failed:" << reply.errorMessage();
}
