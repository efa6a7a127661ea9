// Network throughput of this machine. A thread of its own, started by the constructor,
// sums once a second the byte counters of the wired and virtual Ethernet and the PPP
// interfaces (not loopback, wireless or tunnels) from /proc/net/dev and keeps the rates.
//
// Rates: the 32-bit change of the sums since the previous sample, in KiB, divided by 5.
// The first sample compares with 0, so it reports the totals since boot / 5120.
//
// Threads: constructed and destroyed on the owner's thread; run() samples on its own
// thread. m_lock guards m_upRate and m_downRate; m_stop is guarded by m_stopLock. The two
// locks are never held together.
#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <condition_variable>
#include <mutex>

class NetworkSampler : public QThread
{
    Q_OBJECT
public:
    // `procNetDev` and `sysClassNet` name the counter file and the interface folder
    // (other paths serve tests).
    explicit NetworkSampler(QObject *parent = nullptr,
                            const QString &procNetDev = QStringLiteral("/proc/net/dev"),
                            const QString &sysClassNet = QStringLiteral("/sys/class/net"));
    ~NetworkSampler() override;

    // Ends and joins the sampling thread (the last rates stay); idempotent. The destructor
    // does it too.
    void stop();

    int upRate() const;   // sent, see the header comment for the unit
    int downRate() const; // received

    // Whether traffic of the interface `name` counts: Ethernet type (1) that is not
    // wireless, or PPP (512).
    static bool isCountedInterface(const QString &sysClassNet, const QString &name);

protected:
    void run() override;

private:
    void sample();

    const QString m_procNetDev;
    const QString m_sysClassNet;

    // Standard types here: the sampling thread waits on the condition with this lock.
    std::mutex m_stopLock;
    std::condition_variable m_wake;
    bool m_stop = false;

    mutable QMutex m_lock;
    int m_downRate = 0;
    int m_upRate = 0;

    // Sampling thread only.
    quint32 m_previousIn = 0;
    quint32 m_previousOut = 0;
};
