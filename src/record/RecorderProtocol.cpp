#include "record/RecorderProtocol.h"

namespace {

QString decodeEntities(const QString &text)
{
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('&')) {
            out.append(text.at(i));
            continue;
        }
        const qsizetype end = text.indexOf(QLatin1Char(';'), i);
        const QString entity = end > i ? text.mid(i + 1, end - i - 1) : QString();
        QChar decoded;
        if (entity == QLatin1String("amp"))
            decoded = QLatin1Char('&');
        else if (entity == QLatin1String("lt"))
            decoded = QLatin1Char('<');
        else if (entity == QLatin1String("gt"))
            decoded = QLatin1Char('>');
        else if (entity == QLatin1String("quot"))
            decoded = QLatin1Char('"');
        else if (entity == QLatin1String("apos"))
            decoded = QLatin1Char('\'');
        if (decoded.isNull()) {
            out.append(QLatin1Char('&')); // not an entity we know: kept as written
        } else {
            out.append(decoded);
            i = end;
        }
    }
    return out;
}

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') ||
           c == QLatin1Char('.') || c == QLatin1Char(':');
}

} // namespace

qint64 RecorderProtocol::Element::number(const QString &key) const
{
    bool ok = false;
    const qint64 n = attributes.value(key).trimmed().toLongLong(&ok);
    return ok ? n : 0;
}

RecorderProtocol::Element RecorderProtocol::parseLine(const QByteArray &line)
{
    Element element;
    const QString text = QString::fromUtf8(line).trimmed();
    if (!text.startsWith(QLatin1Char('<')) || !text.endsWith(QLatin1Char('>')))
        return element;
    qsizetype end = text.size() - 1;
    if (end > 0 && text.at(end - 1) == QLatin1Char('/'))
        --end;
    qsizetype i = 1;
    while (i < end && isNameChar(text.at(i)))
        ++i;
    const QString name = text.mid(1, i - 1);
    if (name.isEmpty())
        return element;
    QMap<QString, QString> attributes;
    while (i < end) {
        while (i < end && text.at(i).isSpace())
            ++i;
        if (i >= end)
            break;
        const qsizetype keyStart = i;
        while (i < end && isNameChar(text.at(i)))
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        while (i < end && text.at(i).isSpace())
            ++i;
        if (key.isEmpty() || i >= end || text.at(i) != QLatin1Char('='))
            return element; // malformed: not one element
        ++i;
        while (i < end && text.at(i).isSpace())
            ++i;
        if (i >= end || (text.at(i) != QLatin1Char('"') && text.at(i) != QLatin1Char('\'')))
            return element;
        const QChar quote = text.at(i++);
        const qsizetype close = text.indexOf(quote, i);
        if (close < 0 || close >= end)
            return element;
        attributes.insert(key, decodeEntities(text.mid(i, close - i)));
        i = close + 1;
    }
    element.name = name;
    element.attributes = attributes;
    return element;
}

QString RecorderProtocol::escapeAttribute(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    out.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    out.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    out.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return out;
}

QByteArray RecorderProtocol::chopCommand(const QString &path)
{
    return "<record_chop filename=\"" + escapeAttribute(path).toUtf8() + "\"/>\n";
}
