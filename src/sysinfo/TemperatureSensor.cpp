#include "TemperatureSensor.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <optional>

namespace {

// A sysfs temperature file holds millidegrees Celsius; readings outside what a running
// CPU can show are sensor faults and are ignored.
std::optional<double> readMilliCelsius(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const qlonglong milli = file.readAll().trimmed().toLongLong(&ok);
    if (!ok || milli <= -40000 || milli >= 150000)
        return std::nullopt;
    return double(milli) / 1000.0;
}

QString readName(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll().trimmed());
}

} // namespace

double TemperatureSensor::hottestCelsius(const QString &sysClassRoot)
{
    static const QSet<QString> cpuDrivers = {
        QStringLiteral("coretemp"),    QStringLiteral("k10temp"),     QStringLiteral("k8temp"),
        QStringLiteral("zenpower"),    QStringLiteral("cpu_thermal"), QStringLiteral("cpu-thermal"),
        QStringLiteral("via_cputemp"), QStringLiteral("soc_thermal")};
    std::optional<double> hottest;
    const auto consider = [&hottest](std::optional<double> value) {
        if (value && (!hottest || *value > *hottest))
            hottest = value;
    };

    const QDir hwmon(sysClassRoot + QStringLiteral("/hwmon"));
    for (const QString &dev : hwmon.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        const QString base = hwmon.filePath(dev);
        if (!cpuDrivers.contains(readName(base + QStringLiteral("/name"))))
            continue;
        const QDir sensorDir(base);
        for (const QString &input :
             sensorDir.entryList({QStringLiteral("temp*_input")}, QDir::Files | QDir::System))
            consider(readMilliCelsius(sensorDir.filePath(input)));
    }

    const QDir thermal(sysClassRoot + QStringLiteral("/thermal"));
    for (const QString &zone :
         thermal.entryList({QStringLiteral("thermal_zone*")}, QDir::Dirs | QDir::System))
        consider(readMilliCelsius(thermal.filePath(zone) + QStringLiteral("/temp")));

    return hottest.value_or(0.0);
}
