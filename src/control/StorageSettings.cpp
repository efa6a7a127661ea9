#include "control/StorageSettings.h"

#include <QJsonValue>
#include <QVariant>

namespace {

// Numbers and numeric strings both count; anything else reads as 0. Values beyond the
// int range are clamped so that a huge request cannot wrap into a small limit.
int toInt(const QJsonValue &value)
{
    const qlonglong number = value.toVariant().toLongLong();
    if (number > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (number < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(number);
}

} // namespace

StorageSettings StorageSettings::fromRequest(const QJsonObject &request)
{
    StorageSettings settings;
    if (request.contains("storePath"))
        settings.storePath = request.value("storePath").toString();
    if (request.contains("limitType"))
        settings.limitType = request.value("limitType").toString();
    if (request.contains("limitSize"))
        settings.limitSize = toInt(request.value("limitSize"));
    if (request.contains("limitTime"))
        settings.limitTime = toInt(request.value("limitTime"));
    if (request.contains("frmode")) {
        const int mode = toInt(request.value("frmode"));
        settings.frmode = (mode == 0 || mode == 1) ? mode : 0;
    }
    if (settings.limitType == QLatin1String("size") && settings.limitSize < 1)
        settings.limitSize = 1024;
    if (settings.limitType == QLatin1String("time") && settings.limitTime < 1)
        settings.limitTime = 60;
    const QJsonObject rules = request.value("rules").toObject();
    if (rules.contains("start"))
        settings.ruleStart = rules.value("start").toString();
    if (rules.contains("middle"))
        settings.ruleMiddle = rules.value("middle").toString();
    if (rules.contains("end"))
        settings.ruleEnd = rules.value("end").toString();
    if (request.contains("codec"))
        settings.codec = validCodec(request.value("codec").toString());
    return settings;
}

QString StorageSettings::validCodec(const QString &codec)
{
    if (codec == QLatin1String("speedhq") || codec == QLatin1String("utvideo"))
        return codec;
    return QStringLiteral("h264");
}

QJsonObject StorageSettings::toJson() const
{
    return QJsonObject{
        {"storePath", storePath},
        {"limitType", limitType},
        {"limitSize", limitSize},
        {"limitTime", limitTime},
        {"frmode", frmode},
        {"rules", QJsonObject{{"start", ruleStart}, {"middle", ruleMiddle}, {"end", ruleEnd}}},
        {"codec", codec},
    };
}
