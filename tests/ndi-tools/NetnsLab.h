// Hosts for tests as Linux network namespaces that the test creates and removes itself:
// each host is a namespace named "drndit-<test pid>-<tag>" with loopback up, joined to
// others by veth pairs with addresses from a private /30 that exists only inside those
// namespaces. Nothing outside them is touched. The destructor deletes every namespace it
// made, also when the test failed; namespaces left by a test process that died (its PID
// is gone) are removed by the next lab.
//
// Thread: the test's main thread. Needs root and a working "ip netns".
#pragma once

#include <QString>
#include <QStringList>

namespace ndt {

class NetnsLab
{
public:
    NetnsLab();
    ~NetnsLab();
    NetnsLab(const NetnsLab &) = delete;
    NetnsLab &operator=(const NetnsLab &) = delete;

    // Empty when namespaces can be used here; otherwise why not (for QSKIP).
    static QString unavailableReason();

    // Creates a host; returns its namespace name, empty on failure.
    QString addHost(const QString &tag);
    // Joins two hosts with a veth pair; addresses in CIDR form ("10.211.0.1/30").
    // `nameInA` receives the name of the pair's end in host A.
    bool link(const QString &hostA, const QString &addressA, const QString &hostB,
              const QString &addressB, QString *nameInA = nullptr);
    // Runs "ip <args>" inside a host (e.g. {"route", "add", "default", "via", "10.0.0.2"}).
    bool ip(const QString &host, const QStringList &args);
    bool enableForwarding(const QString &host);

    // Runs a command as the lab does (exposed for the helpers above).
    static bool run(const QString &program, const QStringList &args, QString *output = nullptr);

private:
    static void removeStale();
    QStringList m_hosts;
    int m_links = 0;
};

} // namespace ndt
