// "/api/openapi.json": the OpenAPI 3 document of every route, kept beside the web UI as
// res/api/openapi.json and read on each request (it is small and rarely asked for).
#include "control/ApiRoute.h"
#include "control/DaemonService.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>

void registerApiDocumentRoute(QHttpServer &server, DaemonService &service)
{
    ApiRoute::addJsonText(server, "/openapi.json", [&service](const QHttpServerRequest &) {
        QFile file(service.resFolder() + QStringLiteral("/api/openapi.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning().noquote() << "cannot read the API document" << file.fileName() << ":"
                                 << file.errorString();
            return QJsonDocument(ApiRoute::error(QStringLiteral("API document missing")))
                .toJson(QJsonDocument::Compact);
        }
        return file.readAll();
    });
}
