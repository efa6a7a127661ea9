#include "control/AlarmDetector.h"

#include <algorithm>

QList<AlarmDetector::Change> AlarmDetector::restart(qint64 nowMs)
{
    QList<Change> changes;
    for (int k = 0; k < AlarmSettings::KindCount; ++k) {
        if (m_active[size_t(k)])
            changes.append({k, false, m_raisedSince[size_t(k)]});
        m_active[size_t(k)] = false;
        m_start[size_t(k)] = -1;
    }
    m_lastPictureMs = nowMs;
    m_reference = PictureProbe();
    return changes;
}

QList<AlarmDetector::Change> AlarmDetector::update(const Input &in, const AlarmSettings &settings)
{
    using S = AlarmSettings;
    auto hold = [this, &in](int kind, bool condition, qint64 startMs) {
        qint64 &start = m_start[size_t(kind)];
        if (!condition)
            start = -1;
        else if (start < 0)
            start = startMs;
    };

    if (!in.sourceSet) {
        for (qint64 &start : m_start)
            start = -1;
        m_lastPictureMs = in.nowMs;
        m_reference = PictureProbe();
    } else {
        if (in.newPicture && in.probe.valid) {
            m_lastPictureMs = in.nowMs;
            const bool black =
                in.probe.darkShare(int(settings.rule(S::Black).threshold)) >= S::BlackShare;
            hold(S::Black, black, in.nowMs);
            const bool same = m_reference.valid && in.probe.difference(m_reference) <=
                                                       settings.rule(S::Frozen).threshold;
            if (!same) {
                m_reference = in.probe;
                m_referenceMs = in.nowMs;
            }
            hold(S::Frozen, same && !black, m_referenceMs);
        } else if (in.nowMs - m_lastPictureMs >= NoPictureMs) {
            hold(S::Black, false, 0);
            hold(S::Frozen, false, 0);
            m_reference = PictureProbe();
        }
        hold(S::NoSignal, true, m_lastPictureMs);
        if (in.newPicture)
            hold(S::NoSignal, false, 0);
        const double loudest = std::max(in.levelDb[0], in.levelDb[1]);
        hold(S::Silent, in.sendsAudio && loudest < settings.rule(S::Silent).threshold, in.nowMs);
    }

    QList<Change> changes;
    for (int k = 0; k < S::KindCount; ++k) {
        const S::Rule &rule = settings.rule(k);
        const qint64 start = m_start[size_t(k)];
        const bool due =
            rule.enabled && start >= 0 && in.nowMs - start >= qint64(rule.seconds * 1000.0);
        const bool wasActive = m_active[size_t(k)];
        if (due && !wasActive) {
            m_active[size_t(k)] = true;
            m_raisedSince[size_t(k)] = start;
            changes.append({k, true, start});
        } else if (!due && wasActive && (start < 0 || !rule.enabled)) {
            m_active[size_t(k)] = false;
            changes.append({k, false, m_raisedSince[size_t(k)]});
        }
    }
    return changes;
}
