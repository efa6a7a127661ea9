// Registration helpers and reply envelopes shared by every route group of the HTTP API,
// and the route groups themselves.
//
// Every API route is "/api" + its path, accepts every HTTP method and answers HTTP 200
// with a JSON object: {"result": "ok"}, {"result": "ok", "data": ...}, {"result": "error"}
// or {"result": "error", "msg": reason}. A request body above MaxBodyBytes is refused
// before any handler runs, so nothing is stored: on the connection from its declared
// length (HTTP 413, see LimitedTcpServer), else here with the error envelope.
//
// Access: when the application has an access token (AccessControl), every API route
// needs it and answers HTTP 401 with the error envelope otherwise, before its handler
// runs. Routes that only read (isReadRoute) also take the read-only token; the others
// answer it with HTTP 403. A new route that only reads joins the list in ApiRoute.cpp.
//
// Adding a route group: put it in its own .cpp with a function
// `void registerXxxRoutes(QHttpServer &, DaemonService &)` declared in a header beside it,
// and call it from DaemonService::startHttpServer at its place in the order (the static
// file route stays last; the first matching route wins).
//
// Thread: main thread (the HTTP server and every handler run there).
#pragma once

#include <QHttpServerResponse>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class AccessControl;
class DaemonService;
class QHttpServer;
class QHttpServerRequest;

namespace ApiRoute {

inline constexpr qint64 MaxBodyBytes = 1024 * 1024;

QJsonObject ok();
QJsonObject ok(const QJsonValue &data);
QJsonObject error(const QString &msg = {});
// {"result": "ok"} or {"result": "error"} with "msg" when `msg` is not empty.
QJsonObject fromBool(bool success, const QString &msg = {});

// Upper-case method name of a request ("GET", "POST", ...).
QByteArray methodName(const QHttpServerRequest &request);

using Handler = std::function<QJsonObject(const QHttpServerRequest &request)>;
// Registers "/api" + `path` with a handler that builds the whole reply.
void add(QHttpServer &server, const QString &path, Handler handler);
// Registers "/api" + `path` with a handler that gives the reply as ready JSON text (for
// replies that are cached between requests).
// A route whose handler builds the whole reply (binary bodies, status codes, headers); the
// access and size checks still come first.
using ResponseHandler = std::function<QHttpServerResponse(const QHttpServerRequest &request)>;
void addResponse(QHttpServer &server, const QString &path, ResponseHandler handler);

using TextHandler = std::function<QByteArray(const QHttpServerRequest &request)>;
void addJsonText(QHttpServer &server, const QString &path, TextHandler handler);
// Registers "/api" + `path` so that it runs DaemonService::handleRequest(code, ...). The
// "token" query parameter is taken off the URL first.
void addCommand(QHttpServer &server, DaemonService &service, const QString &path, int code);

// Whether the route ("/api/...") only reads, so the read-only token may call it. The list
// is in ApiRoute.cpp; every route not on it counts as changing something.
bool isReadRoute(const QString &fullPath);

// Who may call the routes of `server`; open access until set.
void setAccessControl(QHttpServer &server, std::shared_ptr<const AccessControl> access);

// Every API route ("/api/...") registered on `server`, in registration order.
QStringList routes(const QHttpServer &server);

} // namespace ApiRoute

// Route groups of the control plane, called by DaemonService::startHttpServer in this
// order (storage and performance groups of the system monitor join between record and
// ntp; the static file route is last).
void registerGeneralRoutes(QHttpServer &server, DaemonService &service);   // /config/general
void registerProjectRoutes(QHttpServer &server, DaemonService &service);   // /project/*
void registerOutputRoutes(QHttpServer &server, DaemonService &service);    // /output/*
void registerSourceRoutes(QHttpServer &server, DaemonService &service);    // /source/*
void registerDiscoveryRoutes(QHttpServer &server, DaemonService &service); // /discovery/*
void registerLangRoutes(QHttpServer &server, DaemonService &service);      // /lang/*
void registerRecordRoutes(QHttpServer &server, DaemonService &service);    // /record/*
void registerNtpRoutes(QHttpServer &server, DaemonService &service);       // /ntp/*
void registerStaticFileRoute(QHttpServer &server, DaemonService &service); // "/<arg>"

// The API document, "/openapi.json" (from res/api/openapi.json); registered before the
// static file route.
void registerApiDocumentRoute(QHttpServer &server, DaemonService &service);
