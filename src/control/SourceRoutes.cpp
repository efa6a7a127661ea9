// Routes for the source table (/api/source/*) and NDI discovery settings
// (/api/discovery/*).
#include "control/ApiRoute.h"
#include "control/DaemonService.h"

#ifdef DR_HAVE_DISCOVERY
#include "discovery/DiscoveryInterfaces.h"
#include "discovery/SourceManager.h"
#endif

#include <QHttpServer>
#include <QJsonArray>

namespace {

QJsonArray splitList(const QString &joined)
{
    return QJsonArray::fromStringList(joined.split(QLatin1Char(','), Qt::SkipEmptyParts));
}

} // namespace

void registerSourceRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/source/get.json", [&service](const QHttpServerRequest &) {
#ifdef DR_HAVE_DISCOVERY
        if (service.sourceManager)
            return service.sourceManager->getSourcesJson();
#else
        Q_UNUSED(service)
#endif
        return ok(QJsonArray());
    });
    add(server, "/source/refresh.json", [&service](const QHttpServerRequest &) {
#ifdef DR_HAVE_DISCOVERY
        if (service.sourceManager)
            service.sourceManager->forceRefresh();
#else
        Q_UNUSED(service)
#endif
        return ok();
    });
}

void registerDiscoveryRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/discovery/scan/groupChecked.json",
        [&service](const QHttpServerRequest &) { return ok(splitList(service.ndiGroups())); });
    add(server, "/discovery/scan/getManualIps.json",
        [&service](const QHttpServerRequest &) { return ok(splitList(service.manualIps())); });
    service.setCommandHandler(ApiCommand::AddManualIp, [&service](const QJsonObject &request) {
        return fromBool(service.applyManualTargets(request));
    });
    addCommand(server, service, "/discovery/scan/addManualIp.json", ApiCommand::AddManualIp);

    // The interfaces discovery uses, and the machine's interfaces to choose from.
    add(server, "/discovery/interfaces/get.json", [&service](const QHttpServerRequest &) {
        QJsonArray available;
#ifdef DR_HAVE_DISCOVERY
        available = DiscoveryInterfaces::available();
#endif
        return ok(QJsonObject{{"interfaces", service.ndiInterfaces()}, {"available", available}});
    });
    service.setCommandHandler(ApiCommand::InterfacesSet, [&service](const QJsonObject &request) {
        QString why;
        const bool done = service.setNdiInterfaces(request.value("interfaces"), &why);
        return fromBool(done, why);
    });
    addCommand(server, service, "/discovery/interfaces/set.json", ApiCommand::InterfacesSet);
}
