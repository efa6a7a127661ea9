// Recording storage settings: where recordings go, how files are split and named.
// A plain value type; WindowObject keeps the current one.
#pragma once

#include <QJsonObject>
#include <QString>

struct StorageSettings
{
    QString storePath;
    QString limitType{"size"}; // "size" or "time"
    int limitSize = 1024;      // split size in MiB when limitType is "size"
    int limitTime = 60;        // split interval in minutes when limitType is "time"
    int frmode = 0;            // 0 constant frame rate, 1 variable
    QString ruleStart{"Default Project"};
    QString ruleMiddle{"Default Camera"};
    QString ruleEnd{"yyyyMMdd-HH.mm.ss"};
    QString codec{"h264"}; // video codec of the recordings: "h264", "speedhq" or "utvideo"

    // `codec` when it is one of the three, else "h264".
    static QString validCodec(const QString &codec);

    // Settings from a storage-set request: starts from the defaults above (not from the
    // current settings) and replaces each field whose key is present. "limitSize",
    // "limitTime" and "frmode" accept numbers and numeric strings. A frame mode other than
    // 0 or 1 becomes 0; a size limit below 1 becomes 1024 ("size") and a time limit
    // below 1 becomes 60 ("time"); an unknown codec becomes "h264".
    static StorageSettings fromRequest(const QJsonObject &request);

    // The persisted "storage" object: storePath, limitType, limitSize, limitTime, frmode,
    // rules {start, middle, end}, codec.
    QJsonObject toJson() const;

    bool operator==(const StorageSettings &) const = default;
};
