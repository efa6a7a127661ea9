// Thresholds and durations of the window alarms, kept in "alarms.json" of the data folder:
//   {"black":    {"enabled": true, "seconds": 2, "threshold": 32},
//    "frozen":   {"enabled": true, "seconds": 2, "threshold": 0.5},
//    "silent":   {"enabled": true, "seconds": 5, "threshold": -60},
//    "nosignal": {"enabled": true, "seconds": 2}}
// black: at least 98% of the small picture below `threshold` (8-bit video luma, 16..128);
// frozen: frames arrive but the small picture changes by at most `threshold` (mean
// absolute luma difference, 0..32); silent: both channels below `threshold` dBFS
// (-120..-1) while the source sends audio; nosignal: no new frame while a source is set.
// `seconds` is 0.5 to 3600 for every kind.
//
// Thread: a value type; any thread.
#pragma once

#include <QJsonObject>
#include <QString>
#include <array>

class AlarmSettings
{
public:
    enum Kind
    {
        Black = 0,
        Frozen,
        Silent,
        NoSignal,
        KindCount
    };
    struct Rule
    {
        bool enabled = true;
        double seconds = 2.0;
        double threshold = 0.0;
    };
    static constexpr double BlackShare = 0.98;

    AlarmSettings(); // the defaults above

    static QString kindName(int kind);      // "black", "frozen", "silent", "nosignal"
    static int kindOf(const QString &name); // -1 for an unknown name

    const Rule &rule(int kind) const { return m_rules[size_t(kind)]; }
    QJsonObject toJson() const;

    // A copy with the changes of `request` applied: any subset of kinds, each with any
    // subset of its keys. Unknown kinds or keys, wrong types and values out of range give
    // false with a reason in `error`, and `result` is left alone.
    bool applied(const QJsonObject &request, AlarmSettings *result, QString *error) const;

    // Reads the file; a missing file gives the defaults, a broken one the defaults and a
    // warning naming it (valid kinds in it are kept).
    static AlarmSettings load(const QString &path);
    bool save(const QString &path) const; // atomic

private:
    std::array<Rule, KindCount> m_rules;
};
