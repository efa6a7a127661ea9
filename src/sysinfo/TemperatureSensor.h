// The machine's CPU temperature from sysfs: the hottest of the CPU sensors under hwmon
// (coretemp, k10temp, ...) and the thermal zones. Stateless; safe on any thread.
#pragma once

#include <QString>

class TemperatureSensor
{
public:
    // Degrees Celsius; 0 when the machine exposes no sensor. `sysClassRoot` is the folder
    // holding "hwmon" and "thermal" (another root serves tests).
    static double hottestCelsius(const QString &sysClassRoot = QStringLiteral("/sys/class"));
};
