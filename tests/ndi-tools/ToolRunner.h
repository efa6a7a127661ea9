// Runs the two tools for tests: ndi-testsrc as a long-lived child (stopped by PID), and
// ndi-probe to completion with its key=value output parsed. Either may run inside a
// network namespace (through "ip netns exec", which execs the tool itself, so the child's
// PID is the tool's). Everything runs on the test's main thread.
#pragma once

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QMultiMap>
#include <QString>
#include <QStringList>

namespace ndt {

QString testsrcPath();
// Empty when the tools can load a runtime here (`ndi-probe --runtime` succeeds); else why.
QString runtimeUnavailableReason();
QString probePath();

// A source name unique to this test process, so that tests of other runs on the same host
// never see each other's sources: "<base> <pid>".
QString uniqueName(const QString &base);

// Starts ndi-testsrc with `args` (in `netns` when given) and waits until every source has
// printed its "started" line.
bool startSource(drtest::ChildProcess &child, const QStringList &args, const QString &netns = {},
                 int timeoutMs = 10000);

struct ProbeResult
{
    int exitCode = -1; // -1 when it did not finish in time (it is then killed)
    QString output;
    QMultiMap<QString, QString> values; // key=value lines
    QString value(const QString &key) const { return values.value(key); }
    int intValue(const QString &key) const { return values.value(key).toInt(); }
    QStringList all(const QString &key) const;
    // Lines "NAME<TAB>ADDRESS" (--list): the address of the source whose name ends in
    // "(name)", or empty.
    QString listedAddress(const QString &name) const;
};

ProbeResult runProbe(const QStringList &args, int timeoutMs = 30000, const QString &netns = {});

// A running "ndi-probe --list --watch" whose +/- lines are timed as they arrive.
class Watcher
{
public:
    bool start(const QStringList &extraArgs = {}, const QString &netns = {}, int seconds = 60);
    // Waits for "+<host> (name)\t..." or "-..." and returns the milliseconds from `since`
    // to the moment the line was seen, or -1 on timeout.
    qint64 waitAppeared(const QString &name, const QElapsedTimer &since, int timeoutMs);
    qint64 waitGone(const QString &name, const QElapsedTimer &since, int timeoutMs);
    QString output() { return m_child.output(); }
    void stop() { m_child.stop(); }

private:
    qint64 waitLine(const QString &prefix, const QString &name, const QElapsedTimer &since,
                    int timeoutMs);
    drtest::ChildProcess m_child;
};

// Starts two 640x360 sources named after `base` on `netns` (this host when empty), ends one
// cleanly and kills the other, and checks that `watch` sees the clean one gone within 2.5 s
// and the killed one within 6.5 s. Failures are recorded with QTest; the caller returns.
void checkVanishing(Watcher &watch, const QString &base, const QString &netns, int appearMs);

} // namespace ndt
