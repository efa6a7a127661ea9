#include "NetworkSampler.h"

#include "ProcParsers.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

NetworkSampler::NetworkSampler(QObject *parent, const QString &procNetDev,
                               const QString &sysClassNet)
    : QThread(parent), m_procNetDev(procNetDev), m_sysClassNet(sysClassNet)
{
    start(QThread::InheritPriority);
}

NetworkSampler::~NetworkSampler()
{
    stop();
    qDebug() << "~NetworkSampler";
}

void NetworkSampler::stop()
{
    {
        std::lock_guard<std::mutex> locker(m_stopLock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (isRunning()) {
        quit();
        wait();
    }
    // run() ends by releasing this lock; taking it here makes the join visible to race
    // detectors, which do not see inside Qt's own thread join.
    std::lock_guard<std::mutex> joined(m_stopLock);
}

int NetworkSampler::upRate() const
{
    QMutexLocker locker(&m_lock);
    return m_upRate;
}

int NetworkSampler::downRate() const
{
    QMutexLocker locker(&m_lock);
    return m_downRate;
}

bool NetworkSampler::isCountedInterface(const QString &sysClassNet, const QString &name)
{
    if (name.isEmpty() || name.contains('/'))
        return false;
    const QString base = sysClassNet + '/' + name;
    QFile typeFile(base + QStringLiteral("/type"));
    if (!typeFile.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const int type = typeFile.readAll().trimmed().toInt(&ok);
    if (!ok)
        return false;
    constexpr int kEther = 1; // ARPHRD_ETHER
    constexpr int kPpp = 512; // ARPHRD_PPP
    if (type == kPpp)
        return true;
    return type == kEther && !QFileInfo::exists(base + QStringLiteral("/wireless")) &&
           !QFileInfo::exists(base + QStringLiteral("/phy80211"));
}

void NetworkSampler::run()
{
    {
        QMutexLocker locker(&m_lock);
        m_downRate = 0;
        m_upRate = 0;
    }
    std::unique_lock<std::mutex> stopLocker(m_stopLock);
    // The deadline moves by exactly one second per sample, so the samples do not drift.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!m_stop) {
        if (m_wake.wait_until(stopLocker, deadline, [this] { return m_stop; }))
            break;
        stopLocker.unlock();
        sample();
        stopLocker.lock();
        deadline += std::chrono::seconds(1);
    }
}

void NetworkSampler::sample()
{
    QFile file(m_procNetDev);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read network counters from" << m_procNetDev << file.errorString();
        std::fputs("network statistics unavailable\n", stdout);
        return;
    }
    quint32 in = 0;
    quint32 out = 0;
    for (const sysinfo::NetCounters &c : sysinfo::parseNetDev(file.readAll())) {
        if (!isCountedInterface(m_sysClassNet, c.name))
            continue;
        in += quint32(c.receivedBytes);
        out += quint32(c.sentBytes);
    }
    QMutexLocker locker(&m_lock);
    m_downRate = sysinfo::netRate(m_previousIn, in);
    m_upRate = sysinfo::netRate(m_previousOut, out);
    m_previousIn = in;
    m_previousOut = out;
}
