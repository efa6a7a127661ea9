#include "control/ApiRoute.h"

#include "control/DaemonService.h"

#include <QDebug>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>

#include <optional>

namespace ApiRoute {

QJsonObject ok()
{
    return QJsonObject{{"result", "ok"}};
}

QJsonObject ok(const QJsonValue &data)
{
    return QJsonObject{{"result", "ok"}, {"data", data}};
}

QJsonObject error(const QString &msg)
{
    QJsonObject reply{{"result", "error"}};
    if (!msg.isEmpty())
        reply.insert("msg", msg);
    return reply;
}

QJsonObject fromBool(bool success, const QString &msg)
{
    return success ? ok() : error(msg);
}

QByteArray methodName(const QHttpServerRequest &request)
{
    using Method = QHttpServerRequest::Method;
    switch (request.method()) {
    case Method::Get:
        return "GET";
    case Method::Put:
        return "PUT";
    case Method::Delete:
        return "DELETE";
    case Method::Post:
        return "POST";
    case Method::Head:
        return "HEAD";
    case Method::Options:
        return "OPTIONS";
    case Method::Patch:
        return "PATCH";
    case Method::Connect:
        return "CONNECT";
    case Method::Trace:
        return "TRACE";
    default:
        return "UNKNOWN";
    }
}

namespace {

// The refusal for a body above the limit, or nothing. The connection guard refuses
// declared oversized bodies before they are read; this catches whatever still arrives.
std::optional<QHttpServerResponse> refuseLargeBody(const QString &path,
                                                   const QHttpServerRequest &request)
{
    if (request.body().size() <= MaxBodyBytes)
        return std::nullopt;
    qWarning().noquote() << "refused" << path << "request: body of" << request.body().size()
                         << "bytes exceeds" << MaxBodyBytes;
    return QHttpServerResponse(error(QStringLiteral("request body larger than 1 MiB")));
}

} // namespace

void add(QHttpServer &server, const QString &path, Handler handler)
{
    const QString fullPath = QStringLiteral("/api") + path;
    server.route(fullPath,
                 [fullPath, handler = std::move(handler)](const QHttpServerRequest &request) {
                     if (auto refusal = refuseLargeBody(fullPath, request))
                         return std::move(*refusal);
                     return QHttpServerResponse(handler(request));
                 });
}

void addJsonText(QHttpServer &server, const QString &path, TextHandler handler)
{
    const QString fullPath = QStringLiteral("/api") + path;
    server.route(
        fullPath, [fullPath, handler = std::move(handler)](const QHttpServerRequest &request) {
            if (auto refusal = refuseLargeBody(fullPath, request))
                return std::move(*refusal);
            return QHttpServerResponse(QByteArrayLiteral("application/json"), handler(request));
        });
}

void addCommand(QHttpServer &server, DaemonService &service, const QString &path, int code)
{
    add(server, path, [&service, code](const QHttpServerRequest &request) {
        return service.handleRequest(code, methodName(request), request.body(), request.url());
    });
}

} // namespace ApiRoute
