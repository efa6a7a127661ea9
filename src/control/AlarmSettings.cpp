#include "control/AlarmSettings.h"

#include "control/JsonFile.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>

namespace {

struct Range
{
    double low, high;
};

const char *const kNames[AlarmSettings::KindCount] = {"black", "frozen", "silent", "nosignal"};
const Range kThresholdRange[AlarmSettings::KindCount] = {{16, 128}, {0, 32}, {-120, -1}, {0, 0}};
constexpr Range kSecondsRange{0.5, 3600};

} // namespace

AlarmSettings::AlarmSettings()
{
    m_rules[Black] = {true, 2.0, 32.0};
    m_rules[Frozen] = {true, 2.0, 0.5};
    m_rules[Silent] = {true, 5.0, -60.0};
    m_rules[NoSignal] = {true, 2.0, 0.0};
}

QString AlarmSettings::kindName(int kind)
{
    return kind >= 0 && kind < KindCount ? QString::fromLatin1(kNames[kind]) : QString();
}

int AlarmSettings::kindOf(const QString &name)
{
    for (int k = 0; k < KindCount; ++k) {
        if (name == QLatin1String(kNames[k]))
            return k;
    }
    return -1;
}

QJsonObject AlarmSettings::toJson() const
{
    QJsonObject all;
    for (int k = 0; k < KindCount; ++k) {
        QJsonObject rule{{"enabled", m_rules[size_t(k)].enabled},
                         {"seconds", m_rules[size_t(k)].seconds}};
        if (k != NoSignal)
            rule.insert("threshold", m_rules[size_t(k)].threshold);
        all.insert(kindName(k), rule);
    }
    return all;
}

bool AlarmSettings::applied(const QJsonObject &request, AlarmSettings *result, QString *error) const
{
    AlarmSettings next = *this;
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (request.isEmpty())
        return fail(QStringLiteral("no alarm settings given"));
    for (auto it = request.begin(); it != request.end(); ++it) {
        const int kind = kindOf(it.key());
        if (kind < 0)
            return fail(QStringLiteral("unknown alarm \"%1\"").arg(it.key()));
        if (!it.value().isObject())
            return fail(QStringLiteral("%1: expected an object").arg(it.key()));
        Rule &rule = next.m_rules[size_t(kind)];
        const QJsonObject changes = it.value().toObject();
        for (auto c = changes.begin(); c != changes.end(); ++c) {
            const QString where = it.key() + QLatin1Char('.') + c.key();
            if (c.key() == QLatin1String("enabled")) {
                if (!c.value().isBool())
                    return fail(where + QStringLiteral(": expected true or false"));
                rule.enabled = c.value().toBool();
                continue;
            }
            Range range;
            double *field;
            if (c.key() == QLatin1String("seconds")) {
                range = kSecondsRange;
                field = &rule.seconds;
            } else if (c.key() == QLatin1String("threshold") && kind != NoSignal) {
                range = kThresholdRange[kind];
                field = &rule.threshold;
            } else {
                return fail(QStringLiteral("unknown setting \"%1\"").arg(where));
            }
            const double value = c.value().toDouble(qQNaN());
            if (!c.value().isDouble() || !(value >= range.low && value <= range.high))
                return fail(QStringLiteral("%1: expected a number from %2 to %3")
                                .arg(where)
                                .arg(range.low)
                                .arg(range.high));
            *field = value;
        }
    }
    *result = next;
    return true;
}

AlarmSettings AlarmSettings::load(const QString &path)
{
    AlarmSettings settings;
    QFile file(path);
    if (!file.exists())
        return settings;
    QJsonParseError parseError;
    const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                       : QJsonDocument();
    if (!document.isObject()) {
        qWarning().noquote() << "alarm settings" << path << "unreadable; using the defaults";
        return settings;
    }
    // Each kind on its own, so one bad entry does not cost the others.
    const QJsonObject stored = document.object();
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        QString why;
        if (!settings.applied(QJsonObject{{it.key(), it.value()}}, &settings, &why))
            qWarning().noquote() << "alarm settings" << path << "entry ignored:" << why;
    }
    return settings;
}

bool AlarmSettings::save(const QString &path) const
{
    return JsonFile::writeJsonFile(toJson(), path);
}
