#include "NetnsLab.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace ndt {

static const char *const prefix = "drndit-";

NetnsLab::NetnsLab()
{
    removeStale();
}

NetnsLab::~NetnsLab()
{
    for (const QString &host : m_hosts)
        run("ip", {"netns", "del", host});
}

bool NetnsLab::run(const QString &program, const QStringList &args, QString *output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool finished = p.waitForStarted(5000) && p.waitForFinished(10000);
    if (!finished)
        p.kill(); // our own child, by its PID
    const QString out = QString::fromUtf8(p.readAll());
    if (output)
        *output = out;
    const bool ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok)
        qWarning("netns lab: %s %s failed: %s", qPrintable(program), qPrintable(args.join(' ')),
                 qPrintable(out.trimmed()));
    return ok;
}

QString NetnsLab::unavailableReason()
{
    if (geteuid() != 0)
        return "network namespace tests need root";
    const QString probe = QString("%1%2-probe").arg(prefix).arg(QCoreApplication::applicationPid());
    QString out;
    if (!run("ip", {"netns", "add", probe}, &out))
        return "ip netns add failed: " + out.trimmed();
    run("ip", {"netns", "del", probe});
    return {};
}

void NetnsLab::removeStale()
{
    QString out;
    if (!run("ip", {"netns", "list"}, &out))
        return;
    static const QRegularExpression name(QString("^(%1(\\d+)-\\S+)").arg(prefix),
                                         QRegularExpression::MultilineOption);
    for (auto it = name.globalMatch(out); it.hasNext();) {
        const auto m = it.next();
        const qint64 pid = m.captured(2).toLongLong();
        // Only namespaces of test processes that no longer exist.
        if (pid != QCoreApplication::applicationPid() && ::kill(pid_t(pid), 0) != 0 &&
            errno == ESRCH)
            run("ip", {"netns", "del", m.captured(1)});
    }
}

QString NetnsLab::addHost(const QString &tag)
{
    const QString host =
        QString("%1%2-%3").arg(prefix).arg(QCoreApplication::applicationPid()).arg(tag);
    if (!run("ip", {"netns", "add", host}))
        return {};
    m_hosts << host;
    if (!ip(host, {"link", "set", "lo", "up"}))
        return {};
    return host;
}

bool NetnsLab::ip(const QString &host, const QStringList &args)
{
    return run("ip", QStringList{"-n", host} + args);
}

bool NetnsLab::link(const QString &hostA, const QString &addressA, const QString &hostB,
                    const QString &addressB, QString *nameInA)
{
    ++m_links;
    const QString a = QString("dra%1").arg(m_links), b = QString("drb%1").arg(m_links);
    if (nameInA)
        *nameInA = a;
    // Created inside host A (not in the test's own namespace), then one end moved to B.
    return ip(hostA, {"link", "add", a, "type", "veth", "peer", "name", b}) &&
           ip(hostA, {"link", "set", b, "netns", hostB}) &&
           ip(hostA, {"addr", "add", addressA, "dev", a}) &&
           ip(hostB, {"addr", "add", addressB, "dev", b}) && ip(hostA, {"link", "set", a, "up"}) &&
           ip(hostB, {"link", "set", b, "up"});
}

bool NetnsLab::enableForwarding(const QString &host)
{
    return run("ip", {"netns", "exec", host, "sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"});
}

} // namespace ndt
