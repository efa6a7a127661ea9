// Where recordings go and what their files are called, for both recorder back ends:
//   <store path>/<project>-<yyyy.MM.dd>/<window name>-<date by the rule end>-<n>.mov
// n counts the files of one recording from 1 (a new file at every split). Characters that
// cannot be part of a file name ("/" and control characters) become "_".
// Thread: none (pure functions).
#pragma once

#include <QDateTime>
#include <QString>

class RecordNaming
{
public:
    // "<storePath>/<project>-<date as yyyy.MM.dd>"
    static QString folder(const QString &storePath, const QString &project, const QDate &date);
    // "<folder>/<window>-<now by dateFormat>-<n>.mov"
    static QString filePath(const QString &folder, const QString &windowName,
                            const QString &dateFormat, const QDateTime &now, int n);
    static QString safeName(const QString &text);
};
