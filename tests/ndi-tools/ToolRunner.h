// Runs the two tools for tests: ndi-testsrc as a long-lived child (stopped by PID), and
// ndi-probe to completion with its key=value output parsed. Either may run inside a
// network namespace (through "ip netns exec", which execs the tool itself, so the child's
// PID is the tool's). Everything runs on the test's main thread.
#pragma once

#include "TestSupport.h"

#include <QMultiMap>
#include <QString>
#include <QStringList>

namespace ndt {

inline QString testsrcPath()
{
    return drtest::buildDir() + "/ndi-testsrc";
}
inline QString probePath()
{
    return drtest::buildDir() + "/ndi-probe";
}

// A source name unique to this test process, so that tests of other runs on the same host
// never see each other's sources: "<base> <pid>".
QString uniqueName(const QString &base);

// Starts ndi-testsrc with `args` (in `netns` when given; `env` added to the test's own) and
// waits until every source has printed its "started" line.
bool startSource(drtest::ChildProcess &child, const QStringList &args, const QString &netns = {},
                 int timeoutMs = 10000, const QProcessEnvironment &env = {});

struct ProbeResult
{
    int exitCode = -1; // -1 when it did not finish in time (it is then killed)
    QString output;
    QMultiMap<QString, QString> values; // key=value lines
    QString value(const QString &key) const { return values.value(key); }
    int intValue(const QString &key) const { return values.value(key).toInt(); }
    // Lines "NAME<TAB>ADDRESS" (--list): the address of the source whose name ends in
    // "(name)", or empty.
    QString listedAddress(const QString &name) const;
};

ProbeResult runProbe(const QStringList &args, int timeoutMs = 30000, const QString &netns = {});

// Starts "ndi-probe --list --watch" on `watchNetns` and two 640x360 sources named after
// `base` on `sourceNetns` (this host when empty), ends one cleanly and kills the other, and
// checks that the watcher sees the clean one gone within 2.5 s and the killed one within
// 6.5 s. Failures are recorded with QTest; the caller returns.
void checkVanishing(const QString &base, const QString &sourceNetns, const QString &watchNetns,
                    int appearMs);

} // namespace ndt
