// Routes of the recording disk (/storage/*) and of the machine's load (/performance/*),
// served from the window model's storage settings, the system monitor and the network
// sampler. Thread: main thread, like every route.
#pragma once

class DaemonService;
class QHttpServer;

// /storage/getAvailable, getDeviceList, get, set, getStorePath.
void registerStorageRoutes(QHttpServer &server, DaemonService &service);
// /performance/getSys, getDiskMaxSpeed, stopDiskMaxSpeed.
void registerPerformanceRoutes(QHttpServer &server, DaemonService &service);
