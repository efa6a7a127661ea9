// Parsers for the text the system monitor reads: kernel files under /proc and the output
// lines of its helper programs. Pure functions of their input; safe on any thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace sysinfo {

// Jiffies of the aggregate "cpu" line of /proc/stat. `idle` counts idle and iowait.
struct CpuTimes
{
    quint64 total = 0;
    quint64 idle = 0;
};

std::optional<CpuTimes> parseCpuTimes(const QByteArray &procStat);

// Busy share between two samples in percent, rounded up to a whole number; 0 when no
// time passed between them.
double cpuUsagePercent(const CpuTimes &before, const CpuTimes &after);

// MemTotal and MemTotal - MemAvailable of /proc/meminfo in MiB; false when either is
// missing.
bool parseMemInfo(const QByteArray &procMeminfo, double &totalMiB, double &usedMiB);

// One interface of /proc/net/dev with its received and sent byte counters.
struct NetCounters
{
    QString name;
    quint64 receivedBytes = 0;
    quint64 sentBytes = 0;
};

QList<NetCounters> parseNetDev(const QByteArray &procNetDev);

// Rate reported for the change of a 32-bit byte sum between two samples one second
// apart: the difference modulo 2^32, in KiB, divided by 5 (integer arithmetic).
int netRate(quint32 previousSum, quint32 currentSum);

// A line of the live write monitor, "name,KiB/s,percentFree", as Mbit/s; empty when the
// line does not have exactly three comma-separated parts or the rate is not a number.
std::optional<double> parseMonitorLine(const QString &line);

// The GPU probe's output "Total GPU Engine Usage: N%..." (whole text): the whole-number
// part of N; empty on any other text.
std::optional<int> parseGpuOutput(const QString &text);

// Progress and result lines of the disk speed test: "...percent=N..." and
// "...result=X..." (X in MB/s). Empty when the line is not of that kind.
std::optional<int> parseTestPercent(const QString &line);
std::optional<double> parseTestResult(const QString &line);

} // namespace sysinfo
