#include "control/RequestParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

QJsonObject RequestParser::parseRequest(const QByteArray &method, const QByteArray &body,
                                        const QUrl &url)
{
    if (method == "POST" && !body.isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        if (error.error == QJsonParseError::NoError)
            return document.object(); // an array document gives {}
        return parseFormText(body);
    }
    if (method != "GET")
        return {};
    const QString text = url.toString();
    if (text.isEmpty())
        return {};
    return parseFormText(text.toUtf8());
}

QJsonObject RequestParser::parseFormText(const QByteArray &encoded)
{
    // Decoding before splitting is deliberate: clients rely on an encoded "&" or "="
    // separating like a plain one.
    QString text = QUrl::fromPercentEncoding(encoded);
    const QStringList halves = text.split(QStringLiteral("json?"), Qt::KeepEmptyParts);
    if (halves.size() >= 2)
        text = halves.at(1);

    QJsonObject request;
    QJsonArray shared;
    QString arrayName;
    const QStringList parts = text.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (!part.contains(QLatin1Char('=')))
            continue;
        const QStringList pieces = part.split(QLatin1Char('='), Qt::KeepEmptyParts);
        const QString &key = pieces.at(0);
        if (key.isEmpty())
            continue;
        const QString value = pieces.size() > 1 ? pieces.at(1) : QString("");
        if (key.contains(QStringLiteral("[]"))) {
            arrayName = QString(key).remove(QStringLiteral("[]"));
            shared.append(value);
        } else {
            request.insert(key, value);
        }
    }
    if (!shared.isEmpty())
        request.insert(arrayName, shared);
    return request;
}
