// Routes for the output's layout and windows (/api/output/*).
#include "control/ApiRoute.h"
#include "control/DaemonService.h"
#include "control/LayoutManager.h"
#include "control/WindowObject.h"

#include <QHttpServer>

namespace {

bool hasKeys(const QJsonObject &request, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        if (!request.contains(QLatin1String(key)))
            return false;
    }
    return true;
}

// A number, or a string that holds one ("3"); anything else gives 0.
int numberOrNumericText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().trimmed().toInt();
    return value.toInt();
}

} // namespace

void registerOutputRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    WindowObject &windows = *service.windowObject();

    service.setCommandHandler(ApiCommand::OutputIcon, [&service](const QJsonObject &) {
        return service.layoutManager()->layoutJson();
    });
    addCommand(server, service, "/output/icon.json", ApiCommand::OutputIcon);

    service.setCommandHandler(ApiCommand::OutputGet,
                              [&windows](const QJsonObject &) { return windows.outputJson(); });
    // Polled by every client: served from the model's cached text, which is the same reply.
    addJsonText(server, "/output/get.json",
                [&windows](const QHttpServerRequest &) { return windows.outputJsonText(); });

    service.setCommandHandler(
        ApiCommand::SetLayout, [&service, &windows](const QJsonObject &request) {
            if (!hasKeys(request, {"layout_id", "layout_number"}))
                return error();
            const int layoutId = request.value("layout_id").toInt();
            const int count = request.value("layout_number").toInt();
            // Ids outside the catalogue and counts beyond the largest layout would leave the
            // view without geometry or grow the model without bound.
            if (layoutId < 1 || count < 1 || layoutId > WindowObject::MaxLayoutId ||
                count > WindowObject::MaxWindows)
                return error();
            const int before = windows.windowCount();
            windows.setWindowLayout(layoutId, count);
            service.followLayoutAudio(before, count);
            service.layoutManager()->setLayout(layoutId);
            emit service.sendLayout(layoutId, count);
            emit service.updateSource();
            return ok();
        });
    addCommand(server, service, "/output/setLayout.json", ApiCommand::SetLayout);

    service.setCommandHandler(ApiCommand::SetSource, [&service](const QJsonObject &request) {
        if (!service.setSourceForWindow(request))
            return error(QStringLiteral("data struct is error"));
        return ok();
    });
    addCommand(server, service, "/output/setSource.json", ApiCommand::SetSource);

    service.setCommandHandler(ApiCommand::DeleteAll, [&service, &windows](const QJsonObject &) {
        for (int position = 1; position <= windows.windowCount(); ++position) {
            windows.resetWindow(position);
            emit service.removeSource(position);
        }
        service.outputMap().clear();
        emit service.updateSource();
        return ok();
    });
    addCommand(server, service, "/output/deleteAll.json", ApiCommand::DeleteAll);

    service.setCommandHandler(
        ApiCommand::SetName, [&service, &windows](const QJsonObject &request) {
            if (!hasKeys(request, {"position", "name"}))
                return error();
            windows.setName(request.value("position").toInt(), request.value("name").toString());
            emit service.updateSource();
            return ok();
        });
    addCommand(server, service, "/output/setName.json", ApiCommand::SetName);

    service.setCommandHandler(ApiCommand::Remove, [&service, &windows](const QJsonObject &request) {
        if (!hasKeys(request, {"position"}))
            return error();
        const int position = request.value("position").toInt();
        if (service.outputMap().value(position).isEmpty())
            return error();
        windows.resetWindow(position);
        emit service.removeSource(position);
        service.outputMap().remove(position);
        emit service.updateSource();
        return ok();
    });
    addCommand(server, service, "/output/remove.json", ApiCommand::Remove);

    service.setCommandHandler(ApiCommand::SetEnable,
                              [&service, &windows](const QJsonObject &request) {
                                  if (!hasKeys(request, {"position", "showVideo", "showVolume"}))
                                      return error();
                                  const int position = request.value("position").toInt();
                                  const bool showVideo = request.value("showVideo").toBool();
                                  const bool showVolume = request.value("showVolume").toBool();
                                  windows.setShow(position, showVideo, showVolume);
                                  emit service.showSingleVideo(position, showVideo, showVolume);
                                  return ok();
                              });
    addCommand(server, service, "/output/setEnable.json", ApiCommand::SetEnable);

    service.setCommandHandler(ApiCommand::SetGlobalVisible, [&service](const QJsonObject &request) {
        if (!hasKeys(request, {"outputGlobalVisible"}))
            return error();
        emit service.showAllVideo(request.value("outputGlobalVisible").toBool());
        return ok();
    });
    addCommand(server, service, "/output/setGlobalVisible.json", ApiCommand::SetGlobalVisible);

    service.setCommandHandler(
        ApiCommand::WindowAudioSet, [&service, &windows](const QJsonObject &request) {
            if (!hasKeys(request, {"project_id", "position", "volume"}))
                return error(); // nothing changes without all three keys
            const int position = numberOrNumericText(request.value("position"));
            const QString volume = request.value("volume").toString();
            windows.setAudioState(position, volume);
            emit service.sendAudioState(position, volume == QLatin1String("on"));
            emit service.updateSource();
            return ok();
        });
    addCommand(server, service, "/output/window_audio_set.json", ApiCommand::WindowAudioSet);
}
