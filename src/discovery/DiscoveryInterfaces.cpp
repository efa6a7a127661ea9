#include "discovery/DiscoveryInterfaces.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStringList>
#include <QtDebug>

namespace {

// An entry in its stored form; empty when it can be neither an IPv4 address nor a Linux
// interface name (1 to 15 bytes without white space, '/' or ','; "10.0.0.300" is a mistyped
// address, not a name).
QString canonicalEntry(const QString &entry)
{
    QHostAddress address;
    if (address.setAddress(entry) && address.protocol() == QAbstractSocket::IPv4Protocol)
        return address.toString();
    static const QRegularExpression name(QStringLiteral("^[!-~]{1,15}$"));
    static const QRegularExpression digitsAndDots(QStringLiteral("^[0-9.]+$"));
    const QString lower = entry.toLower();
    if (!name.match(entry).hasMatch() || entry.contains(QLatin1Char('/')) ||
        digitsAndDots.match(entry).hasMatch() || lower == QLatin1String("all") ||
        lower == QLatin1String("none"))
        return {};
    return entry;
}

} // namespace

QString DiscoveryInterfaces::normalize(const QJsonValue &value, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    QStringList parts;
    if (value.isString()) {
        const QString whole = value.toString().trimmed();
        if (whole.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("all");
        if (whole.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("none");
        parts = whole.split(QLatin1Char(','));
    } else if (value.isArray()) {
        for (const QJsonValue &v : value.toArray()) {
            if (!v.isString())
                return fail(QStringLiteral("interfaces: every element must be a string"));
            parts << v.toString();
        }
    } else {
        return fail(QStringLiteral("interfaces: give \"all\", \"none\" or interface names and "
                                   "IPv4 addresses"));
    }
    QStringList entries;
    for (const QString &part : parts) {
        const QString trimmed = part.trimmed();
        if (trimmed.isEmpty())
            continue;
        const QString entry = canonicalEntry(trimmed);
        if (entry.isEmpty())
            return fail(QStringLiteral("interfaces: \"%1\" is neither an interface name nor an "
                                       "IPv4 address")
                            .arg(trimmed));
        if (!entries.contains(entry))
            entries << entry;
    }
    if (entries.isEmpty())
        return fail(QStringLiteral("interfaces: give \"all\", \"none\" or at least one interface "
                                   "name or IPv4 address"));
    return entries.join(QLatin1Char(','));
}

QString DiscoveryInterfaces::environmentDefault()
{
    const QString inherited = qEnvironmentVariable(kEnvironment).trimmed();
    if (inherited.isEmpty())
        return QStringLiteral("all");
    QString error;
    const QString setting = normalize(inherited, &error);
    if (setting.isEmpty())
        qWarning().noquote() << kEnvironment << "ignored:" << error;
    return setting.isEmpty() ? QStringLiteral("all") : setting;
}

QJsonArray DiscoveryInterfaces::available()
{
    QJsonArray list;
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::CanMulticast;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        if ((i.flags() & wanted) != wanted || (i.flags() & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &e : i.addressEntries()) {
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                list.append(QJsonObject{{"name", i.name()}, {"address", e.ip().toString()}});
        }
    }
    return list;
}

void DiscoveryInterfaces::prepareEnvironment()
{
    if (!qEnvironmentVariableIsSet(kEnvironment))
        qputenv(kEnvironment, QByteArrayLiteral("all"));
}

void DiscoveryInterfaces::exportToRuntime(const QString &setting)
{
    const QByteArray value = setting.toUtf8();
    if (qgetenv(kEnvironment) != value)
        qputenv(kEnvironment, value);
}
