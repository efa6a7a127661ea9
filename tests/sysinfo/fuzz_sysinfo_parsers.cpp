// libFuzzer target: every parser of the system monitor takes arbitrary bytes without
// crashing, and the mount table's answers stay inside what it parsed.
#include "sysinfo/MountTable.h"
#include "sysinfo/ProcParsers.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = QString::fromLocal8Bit(bytes);

    const MountTable table = MountTable::parse(bytes);
    for (const MountTable::Entry &e : table.entries())
        if (!e.mountPoint.startsWith('/'))
            std::abort();
    const MountTable::Entry *root = table.find(QStringLiteral("/"));
    if (root && root->mountPoint != QLatin1String("/"))
        std::abort();

    if (const auto t = sysinfo::parseCpuTimes(bytes)) {
        const double usage = sysinfo::cpuUsagePercent(sysinfo::CpuTimes{}, *t);
        if (usage < 0 || usage > 100)
            std::abort();
    }
    double total = 0, used = 0;
    sysinfo::parseMemInfo(bytes, total, used);
    sysinfo::parseNetDev(bytes);
    sysinfo::parseMonitorLine(text);
    sysinfo::parseGpuOutput(text);
    sysinfo::parseTestPercent(text);
    sysinfo::parseTestResult(text);
    return 0;
}
