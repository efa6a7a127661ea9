#include "ToolRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace ndt {

QString uniqueName(const QString &base)
{
    return QString("%1 %2").arg(base).arg(QCoreApplication::applicationPid());
}

static void wrap(const QString &netns, QString &program, QStringList &args)
{
    if (netns.isEmpty())
        return;
    args.prepend(program);
    args = QStringList{"netns", "exec", netns} + args;
    program = "ip";
}

bool startSource(drtest::ChildProcess &child, const QStringList &args, const QString &netns,
                 int timeoutMs, const QProcessEnvironment &env)
{
    QString program = testsrcPath();
    QStringList all = args;
    wrap(netns, program, all);
    if (!child.start(program, all, env))
        return false;
    const int names = int(args.count("--name"));
    static const QRegularExpression started("(^|\\n)started ");
    const bool ok = drtest::waitUntil(
        [&] {
            child.process().waitForReadyRead(10);
            return child.output().count(started) >= names || !child.isRunning();
        },
        timeoutMs);
    if (!ok || !child.isRunning()) {
        qWarning("ndi-testsrc did not start: %s", qPrintable(child.output()));
        return false;
    }
    return true;
}

QString ProbeResult::listedAddress(const QString &name) const
{
    for (const QString &line : output.split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab > 0 && line.left(tab).endsWith("(" + name + ")"))
            return line.mid(tab + 1).trimmed();
    }
    return {};
}

ProbeResult runProbe(const QStringList &args, int timeoutMs, const QString &netns)
{
    ProbeResult result;
    QString program = probePath();
    QStringList all = args;
    wrap(netns, program, all);
    QProcess process;
    process.start(program, all);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill(); // our own child, by its PID
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    if (!errors.isEmpty())
        qInfo("ndi-probe: %s", qPrintable(errors.trimmed()));
    for (const QString &line : result.output.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0 && !line.contains('\t'))
            result.values.insert(line.left(eq), line.mid(eq + 1));
    }
    return result;
}

// Milliseconds from `since` until the watcher printed "<prefix><host> (name)\t...", or -1.
static qint64 waitLine(drtest::ChildProcess &watcher, const QString &prefix, const QString &name,
                       const QElapsedTimer &since, int timeoutMs)
{
    const QRegularExpression line(
        QString("(^|\\n)%1[^\\n\\t]*\\(%2\\)\\t")
            .arg(QRegularExpression::escape(prefix), QRegularExpression::escape(name)));
    qint64 at = -1;
    drtest::waitUntil(
        [&] {
            watcher.process().waitForReadyRead(5);
            if (watcher.output().contains(line))
                at = since.elapsed();
            return at >= 0;
        },
        timeoutMs);
    return at;
}

void checkVanishing(const QString &base, const QString &sourceNetns, const QString &watchNetns,
                    int appearMs)
{
    QString program = probePath();
    QStringList args{"--list", "--watch", "--seconds", "60"};
    wrap(watchNetns, program, args);
    drtest::ChildProcess watch, c, k;
    QVERIFY(watch.start(program, args));
    const QString clean = uniqueName(base + " Clean"), killed = uniqueName(base + " Killed");
    QVERIFY(startSource(c, {"--name", clean, "--resolution", "640x360"}, sourceNetns));
    QVERIFY(startSource(k, {"--name", killed, "--resolution", "640x360"}, sourceNetns));
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(waitLine(watch, "+", clean, clock, appearMs) >= 0, qPrintable(watch.output()));
    QVERIFY(waitLine(watch, "+", killed, clock, appearMs) >= 0);

    clock.restart();
    QCOMPARE(c.stop(), 0);
    const qint64 cleanMs = waitLine(watch, "-", clean, clock, 10000);
    clock.restart();
    k.kill();
    const qint64 killedMs = waitLine(watch, "-", killed, clock, 15000);
    qInfo("%s: clean end gone after %lld ms, killed after %lld ms", qPrintable(base), cleanMs,
          killedMs);
    QVERIFY2(cleanMs >= 0 && cleanMs <= 2500, qPrintable(watch.output()));
    QVERIFY2(killedMs >= 0 && killedMs <= 6500, qPrintable(watch.output()));
}

} // namespace ndt
