// The alarm state of one window, advanced by one update per monitor tick: each kind's
// condition is tracked with the time it began, and an enabled alarm is raised once its
// condition has held for its duration and cleared as soon as the condition ends (or the
// alarm is switched off).
//   black    - every new picture since the start is nearly all black;
//   frozen   - new pictures arrive but none differs from the one seen when it began (not
//              while the picture is black: a black picture is the black alarm's);
//   silent   - both channels below the threshold while the source sends audio;
//   nosignal - no new picture since the start, while a source is set.
// Pictures stop counting for black and frozen when none came for NoPictureMs.
//
// Thread: one detector belongs to the thread that updates it (the monitor's, main); no locks.
#pragma once

#include "control/AlarmSettings.h"
#include "control/PictureProbe.h"

#include <QList>
#include <QtGlobal>
#include <array>

class AlarmDetector
{
public:
    static constexpr qint64 NoPictureMs = 1000;

    struct Input
    {
        qint64 nowMs = 0;        // steady clock
        bool sourceSet = false;  // the window has a source
        bool newPicture = false; // a frame with a new picture came since the last update
        PictureProbe probe;      // of that picture
        double levelDb[2] = {-200.0, -200.0};
        bool sendsAudio = false; // the source has sent audio since it was set
    };
    struct Change
    {
        int kind;
        bool active;
        qint64 sinceMs; // steady clock: when the condition of the alarm began
    };

    // Starts over for a new source at nowMs: every active alarm is cleared.
    QList<Change> restart(qint64 nowMs);
    // The alarms raised or cleared by this update, in kind order.
    QList<Change> update(const Input &input, const AlarmSettings &settings);

    bool active(int kind) const { return m_active[size_t(kind)]; }
    // When the condition of an active alarm began (steady clock).
    qint64 sinceMs(int kind) const { return m_raisedSince[size_t(kind)]; }

private:
    std::array<qint64, AlarmSettings::KindCount> m_start{-1, -1, -1, -1}; // -1: condition false
    std::array<bool, AlarmSettings::KindCount> m_active{};
    std::array<qint64, AlarmSettings::KindCount> m_raisedSince{};
    qint64 m_lastPictureMs = 0;
    PictureProbe m_reference; // the picture the frozen condition compares with
    qint64 m_referenceMs = 0;
};
