// Routes of the window monitor: the preview JPEG and the alarms (/api/alarm/*).
#include "control/ApiRoute.h"
#include "control/DaemonService.h"
#include "control/RequestParser.h"
#include "control/WindowMonitor.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QUrlQuery>

namespace {

QHttpServerResponse jsonError(const QString &msg, QHttpServerResponse::StatusCode status)
{
    return QHttpServerResponse(ApiRoute::error(msg), status);
}

} // namespace

void registerMonitorRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    using Status = QHttpServerResponse::StatusCode;

    addResponse(server, "/output/preview.jpg", [&service](const QHttpServerRequest &request) {
        bool isNumber = false;
        const int position =
            request.query().queryItemValue(QStringLiteral("position")).trimmed().toInt(&isNumber);
        if (!isNumber)
            return jsonError(QStringLiteral("position must be a window number"),
                             Status::BadRequest);
        WindowMonitor *monitor = service.windowMonitor();
        const WindowMonitor::Preview preview =
            monitor ? monitor->preview(position, request.value("If-None-Match"))
                    : WindowMonitor::Preview();
        if (preview.status == 304) {
            QHttpServerResponse response(Status::NotModified);
            response.setHeader("ETag", preview.etag);
            response.setHeader("Cache-Control", "no-cache");
            return response;
        }
        if (preview.status != 200)
            return jsonError(QStringLiteral("no picture for window %1").arg(position),
                             Status::NotFound);
        QHttpServerResponse response(QByteArrayLiteral("image/jpeg"), preview.jpeg);
        response.setHeader("ETag", preview.etag);
        response.setHeader("Cache-Control", "no-cache");
        return response;
    });

    add(server, "/alarm/get.json", [&service](const QHttpServerRequest &) {
        WindowMonitor *monitor = service.windowMonitor();
        return monitor ? ok(monitor->alarmSettings().toJson()) : error();
    });
    add(server, "/alarm/list.json", [&service](const QHttpServerRequest &) {
        WindowMonitor *monitor = service.windowMonitor();
        return monitor ? ok(monitor->activeAlarms()) : error();
    });
    add(server, "/alarm/set.json", [&service](const QHttpServerRequest &request) {
        WindowMonitor *monitor = service.windowMonitor();
        if (!monitor)
            return error();
        const QJsonObject changes =
            RequestParser::parseRequest(methodName(request), request.body(), request.url());
        QString why;
        if (!monitor->setAlarmSettings(changes, &why))
            return error(why);
        return ok(monitor->alarmSettings().toJson());
    });
}
