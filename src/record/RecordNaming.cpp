#include "record/RecordNaming.h"

QString RecordNaming::safeName(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    if (out == QLatin1String(".") || out == QLatin1String(".."))
        out = QStringLiteral("_");
    return out;
}

QString RecordNaming::folder(const QString &storePath, const QString &project, const QDate &date)
{
    QString base = storePath;
    if (base.startsWith(QLatin1String("file://")))
        base = base.mid(7);
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return QStringLiteral("%1/%2-%3")
        .arg(base, safeName(project), date.toString(QStringLiteral("yyyy.MM.dd")));
}

QString RecordNaming::filePath(const QString &folder, const QString &windowName,
                               const QString &dateFormat, const QDateTime &now, int n)
{
    const QString stem = safeName(windowName + QLatin1Char('-') + now.toString(dateFormat));
    return QStringLiteral("%1/%2-%3.mov").arg(folder, stem).arg(n);
}
