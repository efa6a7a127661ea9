#include "control/SystemMonitorRoutes.h"

#include "control/ApiRoute.h"
#include "control/DaemonService.h"
#include "control/StorageSettings.h"
#include "control/WindowObject.h"
#include "sysinfo/NetworkSampler.h"
#include "sysinfo/SystemMonitor.h"
#include "sysinfo/TemperatureSensor.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHttpServer>
#include <QJsonArray>
#include <QStandardPaths>
#include <QUrl>
#include <cmath>

namespace {

// The store path as a local path: a "file://" URL (as a folder dialog may give it)
// becomes the path it names.
QString localStorePath(const QString &storePath)
{
    if (!storePath.startsWith(QLatin1String("file://")))
        return storePath;
    const QUrl url(storePath);
    return url.isValid() ? url.toLocalFile() : storePath.mid(7);
}

// Capacity of the store path's disk; hands a free-space change of more than 1 MiB to the
// window model, and on failure stops recording, forgets the disk and the store path.
QJsonObject storeDiskReport(DaemonService &service)
{
    WindowObject &windows = *service.windowObject();
    SystemMonitor *monitor = service.sysInfo();
    const QString storePath = windows.storePath();
    if (storePath.isEmpty() || !monitor)
        return ApiRoute::ok(QJsonArray{});
    double freeMiB = -1.0;
    bool ok = false;
    const QJsonObject report = monitor->diskCapacity(localStorePath(storePath), freeMiB, ok);
    if (!ok) {
        qWarning().noquote() << "the store path" << storePath
                             << "cannot be read any more: recording stops, the path is cleared";
        service.sendPathError();
        monitor->setDiskPath(QString());
        windows.setStorePath(QString());
        return report;
    }
    if (freeMiB > 0 && std::abs(freeMiB - service.freeSpace()) > 1.0) {
        service.setFreeSpace(freeMiB);
        windows.setFreeSpace(freeMiB);
    }
    return report;
}

// Whether the GPU figure measures something: the GPU script reads NVIDIA's tool or the
// busy percentage of DRM devices and prints 0 when neither exists.
bool gpuLoadReadable()
{
    if (!QStandardPaths::findExecutable(QStringLiteral("nvidia-smi")).isEmpty())
        return true;
    const QDir drm(QStringLiteral("/sys/class/drm"));
    for (const QString &card : drm.entryList({QStringLiteral("card*")}, QDir::Dirs | QDir::System))
        if (QFileInfo(drm.filePath(card) + QStringLiteral("/device/gpu_busy_percent")).isReadable())
            return true;
    return false;
}

} // namespace

void registerStorageRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/storage/getAvailable.json", [&service](const QHttpServerRequest &) {
        return ok(QJsonObject{{"isAvailable", service.windowObject()->storePathExists()}});
    });
    add(server, "/storage/getDeviceList.json",
        [&service](const QHttpServerRequest &) { return storeDiskReport(service); });

    service.setCommandHandler(ApiCommand::StorageGet, [&service](const QJsonObject &) {
        return service.windowObject()->storageJson();
    });
    addCommand(server, service, "/storage/get.json", ApiCommand::StorageGet);

    service.setCommandHandler(ApiCommand::StorageSet, [&service](const QJsonObject &request) {
        service.windowObject()->setStorage(StorageSettings::fromRequest(request));
        emit service.updateStore();
        if (SystemMonitor *monitor = service.sysInfo())
            monitor->setDiskPath(service.windowObject()->storePath());
        return ok();
    });
    addCommand(server, service, "/storage/set.json", ApiCommand::StorageSet);

    service.setCommandHandler(ApiCommand::StorageGetStorePath, [&service](const QJsonObject &) {
        emit service.openFileDialog();
        return ok();
    });
    addCommand(server, service, "/storage/getStorePath.json", ApiCommand::StorageGetStorePath);
}

void registerPerformanceRoutes(QHttpServer &server, DaemonService &service)
{
    using namespace ApiRoute;
    add(server, "/performance/getSys.json", [&service](const QHttpServerRequest &) {
        SystemMonitor *monitor = service.sysInfo();
        NetworkSampler *net = service.netSampler();
        double memTotal = 0;
        double memUsed = 0;
        QJsonObject data{{"cpu", 0}, {"gpu", 0}, {"temp", 0}, {"net_up", 0}, {"net_down", 0}};
        if (monitor) {
            monitor->startGpuProbe(); // the figure below is the previous run's
            monitor->memory(memTotal, memUsed);
            data["cpu"] = std::round(monitor->cpuUsage());
            data["gpu"] = std::round(monitor->gpuUsage());
            data["temp"] = monitor->temperature();
        }
        // Beside the figures: whether the machine can give them at all, so that a client
        // shows "not available" rather than 0. A temperature of 0 means no sensor (checked
        // again while the first sample is still to come).
        data["gpu_available"] = gpuLoadReadable();
        data["temp_available"] = monitor && (monitor->temperature() != 0.0 ||
                                             TemperatureSensor::hottestCelsius() != 0.0);
        data["mem_use"] = memUsed;
        data["mem_total"] = memTotal;
        if (net) {
            data["net_up"] = net->upRate();
            data["net_down"] = net->downRate();
        }
        return ok(data);
    });
    add(server, "/performance/getDiskMaxSpeed.json", [&service](const QHttpServerRequest &) {
        SystemMonitor *monitor = service.sysInfo();
        return fromBool(monitor && monitor->requestDiskTest());
    });
    add(server, "/performance/stopDiskMaxSpeed.json", [&service](const QHttpServerRequest &) {
        if (SystemMonitor *monitor = service.sysInfo())
            monitor->stopDiskTest();
        return ok();
    });
}
