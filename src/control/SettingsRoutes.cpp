// Routes for general configuration, project, UI language, record status and clock
// server settings.
#include "control/ApiRoute.h"
#include "control/DaemonService.h"
#include "control/WindowObject.h"
#include "sysinfo/SystemMonitor.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QUrl>

namespace {

const char *const Version = "1.13.0003";

// The address the web UI is reached at: the bind address when the server listens on one
// address only, else the first address of this machine that is not IPv4 loopback and has
// an IPv4 value.
QString hostAddress(const QHostAddress &bound)
{
    if (bound != QHostAddress(QHostAddress::Any) && bound != QHostAddress(QHostAddress::AnyIPv4) &&
        bound != QHostAddress(QHostAddress::AnyIPv6)) {
        return bound.protocol() == QAbstractSocket::IPv6Protocol
                   ? QLatin1Char('[') + bound.toString() + QLatin1Char(']')
                   : bound.toString();
    }
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address == QHostAddress(QHostAddress::LocalHost))
            continue;
        if (address.toIPv4Address() != 0)
            return QHostAddress(address.toIPv4Address()).toString();
    }
    return QStringLiteral("127.0.0.1");
}

QJsonObject generalConfig(const DaemonService &service)
{
    const QString lang = service.language();
    const bool known = lang == QLatin1String("zh") || lang == QLatin1String("en");
    QJsonObject zh{{"value", "zh"}, {"name", QStringLiteral("简体中文")}};
    QJsonObject en{{"value", "en"}, {"name", "English"}};
    if (lang == QLatin1String("zh"))
        zh.insert("default", true);
    if (lang == QLatin1String("en") || !known)
        en.insert("default", true);
    return QJsonObject{
        {"languageShow", true},
        {"languageOptions", QJsonArray{zh, en}},
        {"logoShow", false},
        {"logoUrl", ""},
        {"qrcode", QStringLiteral("http://%1:%2/index.html")
                       .arg(hostAddress(service.bindAddress()))
                       .arg(service.port())},
        {"version", Version},
        {"deviceName", QJsonObject{{"zh", QStringLiteral("采集站台")}, {"en", "Capture Station"}}},
    };
}

// The free space of the store path's disk as it is now, for the check before a start
// (the web UI's periodic disk query may not have run yet).
void refreshFreeSpace(DaemonService &service)
{
    WindowObject &windows = *service.windowObject();
    SystemMonitor *monitor = service.sysInfo();
    QString path = windows.storePath();
    if (path.isEmpty() || !monitor)
        return;
    if (path.startsWith(QLatin1String("file://")))
        path = QUrl(path).toLocalFile();
    double freeMiB = -1.0;
    bool ok = false;
    monitor->diskCapacity(path, freeMiB, ok);
    if (ok && freeMiB >= 0) {
        service.setFreeSpace(freeMiB);
        windows.setFreeSpace(freeMiB);
    }
}

} // namespace

void registerGeneralRoutes(QHttpServer &server, DaemonService &service)
{
    ApiRoute::add(server, "/config/general/get.json", [&service](const QHttpServerRequest &) {
        return ApiRoute::ok(generalConfig(service));
    });
}

void registerProjectRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/project/getList.json", [&service](const QHttpServerRequest &) {
        return ok(QJsonArray{QJsonObject{{"project_id", service.projectId()},
                                         {"project_name", service.windowObject()->projectName()},
                                         {"current", true}}});
    });
    service.setCommandHandler(ApiCommand::ProjectSet, [&service](const QJsonObject &request) {
        if (!request.contains("project_id") || !request.contains("project_name"))
            return error();
        service.windowObject()->setProjectName(request.value("project_name").toString());
        emit service.updateProject();
        return ok();
    });
    addCommand(server, service, "/project/set.json", ApiCommand::ProjectSet);
}

void registerLangRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    service.setCommandHandler(ApiCommand::LangModify, [&service](const QJsonObject &request) {
        if (!request.contains("lang"))
            return error();
        service.setLanguage(request.value("lang").toString()); // empty or same: no change
        return ok();
    });
    addCommand(server, service, "/lang/modify.json", ApiCommand::LangModify);
}

void registerRecordRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    service.setCommandHandler(ApiCommand::RecordGet, [&service](const QJsonObject &) {
        return service.windowObject()->recordStatusJson();
    });
    addCommand(server, service, "/record/get.json", ApiCommand::RecordGet);

    service.setCommandHandler(ApiCommand::RecordSet, [&service](const QJsonObject &request) {
        WindowObject &windows = *service.windowObject();
        bool standBy = false;
        bool recording = false;
        // Missing or unreadable flags are refused without touching a running recording.
        if (!WindowObject::readRecordFlag(request.value("isStandBy"), &standBy) ||
            !WindowObject::readRecordFlag(request.value("isRecording"), &recording))
            return error();
        refreshFreeSpace(service);
        QString message;
        const bool checked = windows.checkRecord(request, message);
        service.applyRecordStatus(checked, standBy, recording);
        return fromBool(checked, message);
    });
    addCommand(server, service, "/record/set.json", ApiCommand::RecordSet);
}

void registerNtpRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/ntp/get.json", [&service](const QHttpServerRequest &) {
        return ok(QJsonObject{{"addressList", QJsonArray{service.ntpServer()}}});
    });
    add(server, "/ntp/diff.json", [](const QHttpServerRequest &) {
        return ok(QJsonObject{{"diff", 0}});
    });

    service.setCommandHandler(ApiCommand::NtpSet, [&service](const QJsonObject &request) {
        const QJsonArray list = request.value("addressList").toArray();
        if (list.isEmpty())
            return error(); // missing, not an array, or empty: the stored server stays
        const QJsonValue first = list.first();
        service.setNtpServer(first.isString() ? first.toString() : first.toVariant().toString());
        return ok();
    });
    addCommand(server, service, "/ntp/set.json", ApiCommand::NtpSet);

    service.setCommandHandler(ApiCommand::NtpApply, [&service](const QJsonObject &) {
        const int count = service.windowObject()->windowCount();
        for (int position = 1; position <= count; ++position) {
            if (!service.outputMap().value(position).isEmpty())
                emit service.applySingleNtp(position, service.ntpServer());
        }
        return ok();
    });
    addCommand(server, service, "/ntp/apply.json", ApiCommand::NtpApply);

    service.setCommandHandler(ApiCommand::NtpSync, [&service](const QJsonObject &request) {
        if (!request.contains("position"))
            return error();
        emit service.applySingleNtp(request.value("position").toInt(), service.ntpServer());
        return ok();
    });
    addCommand(server, service, "/ntp/sync.json", ApiCommand::NtpSync);
}
