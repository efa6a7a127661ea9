// Turns an HTTP request into the JSON request object of the API routes.
//
// A POST body that is a JSON document gives its object (an array document gives {}).
// Anything else is read like a query string: GET uses the whole URL (only what follows
// "json?" counts), a non-JSON POST body is read as a form. The text is percent-decoded
// first, then split at "&" and "=", so an encoded "&" or "=" also separates. Values from
// such text are always strings. Keys with "[]" collect their values in one shared array
// that is stored under the last such name. Other methods and empty POST bodies give {}.
//
// Thread: any (pure functions).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QUrl>

class RequestParser
{
public:
    // `method` is the upper-case HTTP method name ("GET", "POST", ...).
    static QJsonObject parseRequest(const QByteArray &method, const QByteArray &body,
                                    const QUrl &url);
    // The query-string part of the rules above, on already chosen text.
    static QJsonObject parseFormText(const QByteArray &text);
};
