#include "ProcParsers.h"

#include <QRegularExpression>

namespace sysinfo {

std::optional<CpuTimes> parseCpuTimes(const QByteArray &procStat)
{
    for (const QByteArray &line : procStat.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.isEmpty() || fields[0] != "cpu")
            continue;
        // user nice system idle iowait irq softirq steal; guest times are already part
        // of user and nice.
        if (fields.size() < 5)
            return std::nullopt;
        quint64 values[8] = {};
        for (int i = 0; i < 8 && i + 1 < fields.size(); ++i) {
            bool ok = false;
            values[i] = fields[i + 1].toULongLong(&ok);
            if (!ok)
                return std::nullopt;
        }
        CpuTimes t;
        for (quint64 v : values)
            t.total += v;
        t.idle = values[3] + values[4];
        return t;
    }
    return std::nullopt;
}

double cpuUsagePercent(const CpuTimes &before, const CpuTimes &after)
{
    if (after.total <= before.total)
        return 0.0;
    const quint64 total = after.total - before.total;
    const quint64 idle = after.idle >= before.idle ? after.idle - before.idle : 0;
    const quint64 busy = idle < total ? total - idle : 0;
    return double((busy * 100 + total - 1) / total);
}

bool parseMemInfo(const QByteArray &procMeminfo, double &totalMiB, double &usedMiB)
{
    std::optional<quint64> totalKiB;
    std::optional<quint64> availableKiB;
    for (const QByteArray &line : procMeminfo.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        bool ok = false;
        const quint64 value = fields[1].toULongLong(&ok);
        if (!ok)
            continue;
        if (fields[0] == "MemTotal:")
            totalKiB = value;
        else if (fields[0] == "MemAvailable:")
            availableKiB = value;
    }
    if (!totalKiB || !availableKiB)
        return false;
    totalMiB = double(*totalKiB) / 1024.0;
    usedMiB = totalMiB - double(*availableKiB) / 1024.0;
    return true;
}

QList<NetCounters> parseNetDev(const QByteArray &procNetDev)
{
    QList<NetCounters> result;
    for (const QByteArray &line : procNetDev.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QList<QByteArray> fields = line.mid(colon + 1).simplified().split(' ');
        // Receive: bytes packets errs drop fifo frame compressed multicast; then transmit.
        if (fields.size() < 9)
            continue;
        bool okIn = false;
        bool okOut = false;
        NetCounters c;
        c.name = QString::fromUtf8(line.left(colon).trimmed());
        c.receivedBytes = fields[0].toULongLong(&okIn);
        c.sentBytes = fields[8].toULongLong(&okOut);
        if (okIn && okOut && !c.name.isEmpty())
            result.append(c);
    }
    return result;
}

int netRate(quint32 previousSum, quint32 currentSum)
{
    return int(quint32(currentSum - previousSum) >> 10) / 5;
}

std::optional<double> parseMonitorLine(const QString &line)
{
    const QStringList parts = line.split(',');
    if (parts.size() != 3)
        return std::nullopt;
    bool ok = false;
    const float kibPerSecond = parts[1].trimmed().toFloat(&ok);
    if (!ok)
        return std::nullopt;
    return double(kibPerSecond) * 0.0009765625 * 8;
}

std::optional<int> parseGpuOutput(const QString &text)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("Total GPU Engine Usage: (\\d+).*")),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const int value = m.captured(1).toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<int> parseTestPercent(const QString &line)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral(".*percent=(\\d+).*")));
    const QRegularExpressionMatch m = re.match(line);
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const int value = m.captured(1).toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<double> parseTestResult(const QString &line)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral(".*result=(\\d+\\.*\\d*).*")));
    const QRegularExpressionMatch m = re.match(line);
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = m.captured(1).toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

} // namespace sysinfo
