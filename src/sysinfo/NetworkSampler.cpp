#include "NetworkSampler.h"

#include "ProcParsers.h"

#include <QDeadlineTimer>
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
    {
        QMutexLocker locker(&m_stopLock);
        m_stop = true;
        m_wake.wakeAll();
    }
    if (isRunning()) {
        quit();
        wait();
    }
    qDebug() << "~NetworkSampler";
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
    QMutexLocker stopLocker(&m_stopLock);
    if (m_stop)
        return;
    // The deadline moves by exactly one second per sample, so the samples do not drift.
    QDeadlineTimer deadline(1000, Qt::PreciseTimer);
    while (!m_stop) {
        if (!m_wake.wait(&m_stopLock, deadline) && !m_stop) {
            stopLocker.unlock();
            sample();
            stopLocker.relock();
            deadline += 1000;
        }
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
