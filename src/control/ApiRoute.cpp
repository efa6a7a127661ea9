#include "control/ApiRoute.h"

#include "control/AccessControl.h"
#include "control/DaemonService.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QUrlQuery>

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

// The API routes of one server and who may call them: a child object of the server, found
// by name, so route groups need nothing but the server to register.
class RouteTable : public QObject
{
public:
    static constexpr const char *Name = "dr-api-routes";

    static RouteTable *of(const QHttpServer &server)
    {
        return static_cast<RouteTable *>(
            server.findChild<QObject *>(QLatin1String(Name), Qt::FindDirectChildrenOnly));
    }
    static RouteTable *ensure(QHttpServer &server)
    {
        if (RouteTable *table = of(server))
            return table;
        auto *table = new RouteTable;
        table->setObjectName(QLatin1String(Name));
        table->setParent(&server);
        return table;
    }

    QStringList routes;
    std::shared_ptr<const AccessControl> access;
    // Refusals are logged at most once per interval, with the count since the last line, so
    // a client guessing tokens cannot flood the log.
    QElapsedTimer lastRefusalLog;
    int refusalsNotLogged = 0;
};

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

// The refusal for a caller without the right token, or nothing: 401 without a valid
// token, 403 for the read-only token on a route that changes something.
std::optional<QHttpServerResponse> refuseAccess(RouteTable *table, const QString &path,
                                                bool readRoute, const QHttpServerRequest &request)
{
    if (!table->access || table->access->isOpen())
        return std::nullopt;
    const QByteArray token =
        AccessControl::presentedToken(request.value("Authorization"), request.url());
    const AccessControl::Level level = table->access->levelOf(token);
    if (level == AccessControl::Level::Full || (level == AccessControl::Level::Read && readRoute))
        return std::nullopt;

    const bool readOnly = level == AccessControl::Level::Read;
    constexpr qint64 LogIntervalMs = 10000;
    if (!table->lastRefusalLog.isValid() || table->lastRefusalLog.elapsed() >= LogIntervalMs) {
        qWarning().noquote()
            << "refused" << path << "from" << request.remoteAddress().toString() << ":"
            << (readOnly ? "the read-only token cannot change anything"
                         : (token.isEmpty() ? "no access token" : "wrong access token"))
            << (table->refusalsNotLogged > 0
                    ? QStringLiteral("(and %1 more refusals)").arg(table->refusalsNotLogged)
                    : QString());
        table->lastRefusalLog.start();
        table->refusalsNotLogged = 0;
    } else {
        ++table->refusalsNotLogged;
    }
    if (readOnly) {
        return QHttpServerResponse(error(QStringLiteral("read-only access")),
                                   QHttpServerResponse::StatusCode::Forbidden);
    }
    QHttpServerResponse response(error(QStringLiteral("access token missing or wrong")),
                                 QHttpServerResponse::StatusCode::Unauthorized);
    response.addHeader("WWW-Authenticate", "Bearer realm=\"desk-recorder\"");
    return response;
}

// Registers the route with its checks in front: access first (a caller without the token
// learns nothing else), then the body size.
template <typename Reply> void addChecked(QHttpServer &server, const QString &path, Reply reply)
{
    const QString fullPath = QStringLiteral("/api") + path;
    const bool readRoute = isReadRoute(fullPath);
    RouteTable *table = RouteTable::ensure(server);
    table->routes.append(fullPath);
    server.route(fullPath, [table, fullPath, readRoute,
                            reply = std::move(reply)](const QHttpServerRequest &request) {
        if (auto refusal = refuseAccess(table, fullPath, readRoute, request))
            return std::move(*refusal);
        if (auto refusal = refuseLargeBody(fullPath, request))
            return std::move(*refusal);
        return reply(request);
    });
}

// The request URL without its "token" query parameter, so handlers never see or store it.
QUrl withoutToken(QUrl url)
{
    QUrlQuery query(url);
    if (!query.hasQueryItem(QStringLiteral("token")))
        return url;
    query.removeAllQueryItems(QStringLiteral("token"));
    url.setQuery(query);
    return url;
}

} // namespace

bool isReadRoute(const QString &fullPath)
{
    // Routes that change nothing: settings, status, sources, layouts and the API document.
    // Side effects that stay are harmless: the storage report forgets a store path that can
    // no longer be read (as any poll would), and the load figures start the next GPU probe.
    static const QStringList readRoutes{
        "/api/config/general/get.json",
        "/api/project/getList.json",
        "/api/output/icon.json",
        "/api/output/get.json",
        "/api/source/get.json",
        "/api/discovery/scan/groupChecked.json",
        "/api/discovery/scan/getManualIps.json",
        "/api/record/get.json",
        "/api/storage/getAvailable.json",
        "/api/storage/getDeviceList.json",
        "/api/storage/get.json",
        "/api/performance/getSys.json",
        "/api/ntp/get.json",
        "/api/ntp/diff.json",
        "/api/openapi.json",
        "/api/discovery/interfaces/get.json",
        "/api/output/preview.jpg",
        "/api/alarm/get.json",
        "/api/alarm/list.json",
    };
    return readRoutes.contains(fullPath);
}

void add(QHttpServer &server, const QString &path, Handler handler)
{
    addChecked(server, path, [handler = std::move(handler)](const QHttpServerRequest &request) {
        return QHttpServerResponse(handler(request));
    });
}

void addResponse(QHttpServer &server, const QString &path, ResponseHandler handler)
{
    addChecked(server, path, std::move(handler));
}

void addJsonText(QHttpServer &server, const QString &path, TextHandler handler)
{
    addChecked(server, path, [handler = std::move(handler)](const QHttpServerRequest &request) {
        return QHttpServerResponse(QByteArrayLiteral("application/json"), handler(request));
    });
}

void addCommand(QHttpServer &server, DaemonService &service, const QString &path, int code)
{
    add(server, path, [&service, code](const QHttpServerRequest &request) {
        return service.handleRequest(code, methodName(request), request.body(),
                                     withoutToken(request.url()));
    });
}

void setAccessControl(QHttpServer &server, std::shared_ptr<const AccessControl> access)
{
    RouteTable::ensure(server)->access = std::move(access);
}

QStringList routes(const QHttpServer &server)
{
    const RouteTable *table = RouteTable::of(server);
    return table ? table->routes : QStringList{};
}

} // namespace ApiRoute
