#include "control/DaemonService.h"

#include "audio/AudioOutputMixer.h"
#include "control/AccessControl.h"
#include "control/ApiRoute.h"
#include "control/JsonFile.h"
#include "control/LayoutManager.h"
#include "control/LimitedTcpServer.h"
#include "control/RequestParser.h"
#include "control/SystemMonitorRoutes.h"
#include "control/WebSocketServer.h"
#include "control/WindowObject.h"
#include "record/TaskObject.h"
#ifdef DR_HAVE_MONITOR
#include "control/WindowMonitor.h"
#endif
#include "sysinfo/NetworkSampler.h"
#include "sysinfo/SystemMonitor.h"

#ifdef DR_HAVE_DISCOVERY
#include "discovery/DiscoveryInterfaces.h"
#include "discovery/SourceManager.h"
#endif

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QHostAddress>
#include <QHttpServer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QThread>
#include <QTimer>

namespace {

const QString VarimontVendor = QStringLiteral("Varimont");

// Joins the strings of a JSON array with ","; other elements count as "".
QString joinStrings(const QJsonArray &array)
{
    QStringList parts;
    for (const QJsonValue &value : array)
        parts.append(value.toString());
    return parts.join(QLatin1Char(','));
}

} // namespace

DaemonService *DaemonService::instance()
{
    static DaemonService service;
    return &service;
}

DaemonService::DaemonService(QObject *parent)
    : QObject(parent), m_windowObject(std::make_shared<WindowObject>()),
      m_layoutManager(new LayoutManager), m_sysInfo(new SystemMonitor),
      m_netSampler(new NetworkSampler(this)) // sampling starts now; stops with the service
{
    connect(this, &DaemonService::updateSource, this, &DaemonService::saveOutput);
    connect(this, &DaemonService::updateProject, this, &DaemonService::saveOutput);
    connect(this, &DaemonService::updateStore, this, &DaemonService::saveOutput);
    m_windowObject->setRecordCallback([this](int position, NX_RECORD_STATE state, int error) {
        recordCallback(position, state, error);
    });
    m_windowObject->setAddressLookup([this](const QString &name) {
#ifdef DR_HAVE_DISCOVERY
        if (SourceManager *sources = sourceManager)
            return sources->getAddress(name);
#endif
        Q_UNUSED(name)
        return QString();
    });
    connect(m_windowObject.get(), &WindowObject::recordEvent, this, [this](const QJsonObject &m) {
        if (m_webSocketServer)
            m_webSocketServer->sendMessages(m);
    });
}

DaemonService::~DaemonService()
{
    qDebug() << "before ~DaemonService";
    qDebug() << "##############1";
    delete m_httpServer;
    m_httpServer = nullptr;
#ifdef DR_HAVE_MONITOR
    delete m_monitor;
    m_monitor = nullptr;
#endif
    qDebug() << "##############2";
    qDebug() << "##############3";
    delete m_layoutManager;
    m_layoutManager = nullptr;
    delete m_audioMixer;
    m_audioMixer = nullptr;
    qDebug() << "##############4";
    delete m_sysInfo;
    m_sysInfo = nullptr;
    qDebug() << "##############5";
    qDebug() << "##############6";
    qDebug() << "after ~DaemonService";
}

// ---------------------------------------------------------------- start-up

bool DaemonService::init(const QString &dataFolder, const QString &baseFolder, int port)
{
    m_dataFolder = dataFolder;
    m_resFolder = baseFolder + QStringLiteral("/res");
    m_port = port;
    m_windowObject->setToolFolder(baseFolder);
    QDir dir;
    if (!dir.exists(m_dataFolder))
        dir.mkpath(m_dataFolder);
    if (!dir.exists(m_dataFolder)) {
        qWarning().noquote() << "cannot create the data folder" << m_dataFolder;
        return false;
    }
    if (!m_layoutManager || !m_sysInfo || !m_netSampler)
        return false;
    readSettings();
    m_sysInfo->start(m_resFolder, m_dataFolder);
#ifdef DR_HAVE_MONITOR
    if (!m_monitor)
        m_monitor = new WindowMonitor(*this);
#endif
    return true;
}

void DaemonService::readSettings()
{
    m_language = QSettings(iniPath("lang.ini"), QSettings::IniFormat)
                     .value("ChangeLanguage/Language", "zh")
                     .toString();
    m_ntpServer = QSettings(iniPath("ntp.ini"), QSettings::IniFormat)
                      .value("ChangeNtpServer/addr", "")
                      .toString();

    const QJsonObject groups = JsonFile::readJsonFile(m_dataFolder + "/groups.json");
#ifdef DR_HAVE_DISCOVERY
    m_ndiInterfaces = DiscoveryInterfaces::normalize(groups.value("interfaces"));
    m_ndiInterfacesStored = !m_ndiInterfaces.isEmpty();
    if (!m_ndiInterfacesStored)
        m_ndiInterfaces = DiscoveryInterfaces::environmentDefault();
    if (sourceManager)
        sourceManager->setNDIInterfaces(m_ndiInterfaces);
#endif
    applyManualTargets(groups);

    const QJsonObject output = JsonFile::readJsonFile(m_dataFolder + "/output.json");
    m_windowObject->setResFolder(m_resFolder);
    if (output.contains("data"))
        m_windowObject->initWindows(output.value("data").toObject(), m_resFolder, m_dataFolder);
    m_sysInfo->setDiskPath(m_windowObject->storePath());
}

QString DaemonService::iniPath(const char *file) const
{
    return m_dataFolder + QLatin1Char('/') + QLatin1String(file);
}

bool DaemonService::startHttpServer()
{
    if (m_httpServer)
        return m_boundPort != 0;
    m_httpServer = new QHttpServer;
    QHttpServer &server = *m_httpServer;
    ApiRoute::setAccessControl(server, m_access);
    registerGeneralRoutes(server, *this);
    registerProjectRoutes(server, *this);
    registerOutputRoutes(server, *this);
    registerSourceRoutes(server, *this);
    registerDiscoveryRoutes(server, *this);
    registerLangRoutes(server, *this);
    registerRecordRoutes(server, *this);
    registerStorageRoutes(server, *this);
    registerPerformanceRoutes(server, *this);
    registerNtpRoutes(server, *this);
    registerApiDocumentRoute(server, *this);
#ifdef DR_HAVE_MONITOR
    registerMonitorRoutes(server, *this);
#endif
    registerStaticFileRoute(server, *this); // last: it takes every path left

    // Record-state changes are applied on their own thread, in the order they came.
    m_taskObject = new TaskObject(m_windowObject.get());
    m_taskThread = new QThread;
    m_taskThread->setObjectName(QStringLiteral("record-task"));
    m_taskThread->start(QThread::InheritPriority);
    m_taskObject->moveToThread(m_taskThread);
    connect(m_taskThread, &QThread::finished, m_taskObject, &QObject::deleteLater);
    m_windowObject->attachRecordThread(m_taskThread);

    // Oversized requests are refused on the connection, before their bodies are buffered.
    auto *listener = new LimitedTcpServer(ApiRoute::MaxBodyBytes, m_httpServer);
    if (listener->listen(m_bindAddress, quint16(m_port))) {
        server.bind(listener);
        m_boundPort = listener->serverPort();
    } else {
        qWarning().noquote() << "HTTP port" << m_port << "on" << m_bindAddress.toString()
                             << "unavailable:" << listener->errorString();
    }
    const bool listening = m_boundPort != 0;
    qInfo().noquote() << "HttpServer listen port " << (listening ? m_boundPort : m_port)
                      << (listening ? "success!" : "failed!");
    return listening;
}

void DaemonService::setAccessControl(std::shared_ptr<const AccessControl> access)
{
    m_access = std::move(access);
    if (m_httpServer)
        ApiRoute::setAccessControl(*m_httpServer, m_access);
}

QStringList DaemonService::apiRoutes() const
{
    return m_httpServer ? ApiRoute::routes(*m_httpServer) : QStringList();
}

quint16 DaemonService::serverPort() const
{
    return m_httpServer ? m_boundPort : 0;
}

bool DaemonService::openWindow()
{
    if (!sourceManager)
        return false;
    const int layoutId = m_windowObject->ensureLayout();
    m_layoutManager->setLayout(layoutId);
    if (!m_audioMixer) {
        SourceManager *sources = sourceManager;
        AudioOutputMixer::ConnectionLookup lookup;
#ifdef DR_HAVE_DISCOVERY
        lookup = [sources](const QString &name) { return sources->getConnection(name); };
#endif
        Q_UNUSED(sources)
        m_audioMixer = new AudioOutputMixer(QStringLiteral("project%1").arg(m_projectId), 48000, 2,
                                            16, 10, std::move(lookup));
        m_audioMixer->setHoldsStreams(m_audioFollowsWindows);
        m_audioMixer->StartMixing();
        if (m_audioFollowsWindows) {
            connect(this, &DaemonService::sendSource, this, &DaemonService::followSource);
            connect(this, &DaemonService::removeSource, this, &DaemonService::followRemoval);
            connect(this, &DaemonService::sendAudioState, this, &DaemonService::followAudioState);
        }
    }
    const QJsonDocument geometry(m_layoutManager->layoutJson());
    emit callQmlLoadCali(QString::fromUtf8(geometry.toJson(QJsonDocument::Indented)), layoutId);
    connectEventPush();
    if (m_audioFollowsWindows) {
        // What the scene does once it has the geometry: every window announces its state.
        for (int position = 1; position <= m_windowObject->windowCount(); ++position)
            sendCurrentVideo(true, position);
    }
#ifdef DR_HAVE_MONITOR
    if (m_monitor)
        m_monitor->start(); // window states, levels, previews and alarms, with or without tiles
#endif
    qInfo() << "open window success!";
    return true;
}

void DaemonService::connectEventPush()
{
    if (!m_webSocketServer || m_eventPushConnected)
        return;
    connect(m_webSocketServer, &WebSocketServer::connected, this, &DaemonService::sendOutput);
    // Every browser, not only the one that made a change, follows the windows: each model
    // change pushes "output/update" once the current batch of work is done.
    connect(this, &DaemonService::updateSource, this, &DaemonService::scheduleOutputPush);
    connect(this, &DaemonService::showSingleVideo, this, &DaemonService::scheduleOutputPush);
    connect(m_sysInfo, &SystemMonitor::diskUpdate, m_webSocketServer,
            &WebSocketServer::sendMessages);
    m_eventPushConnected = true;
}

void DaemonService::scheduleOutputPush()
{
    if (m_outputPushPending)
        return;
    m_outputPushPending = true;
    QTimer::singleShot(0, this, [this] {
        m_outputPushPending = false;
        sendOutput();
    });
}

void DaemonService::updateSourceAddress(const QString &name, const QString &address)
{
    m_windowObject->updateSourceAddress(name, address);
}

void DaemonService::requestStopRecording()
{
    if (m_taskObject)
        QMetaObject::invokeMethod(m_taskObject, "doRecordStatus", Qt::AutoConnection,
                                  Q_ARG(bool, true), Q_ARG(bool, true), Q_ARG(bool, false));
}

void DaemonService::applyRecordStatus(bool checked, bool standBy, bool recording)
{
    if (m_taskObject)
        QMetaObject::invokeMethod(m_taskObject, "doRecordStatus", Qt::AutoConnection,
                                  Q_ARG(bool, checked), Q_ARG(bool, standBy),
                                  Q_ARG(bool, recording));
}

void DaemonService::recordCallback(int position, NX_RECORD_STATE state, int error)
{
    qDebug().noquote() << "RecordCallback send ready record status :" << position
                       << ",state =" << int(state) << ", error = " << error;
    const auto send = [this](const QJsonObject &message) {
        if (m_webSocketServer)
            QMetaObject::invokeMethod(m_webSocketServer, "sendMessages", Qt::AutoConnection,
                                      Q_ARG(QJsonObject, message));
    };
    if (state == NX_RECORD_STARTED) {
        send(QJsonObject{{"name", "record/start"},
                         {"result", "ok"},
                         {"data", QJsonObject{{"position", position}}}});
    } else if (state == NX_RECORD_ENDED && error == RecordError::DiskFull) {
        send(QJsonObject{{"name", "record/over"}, {"result", "error"}});
        qWarning() << "Disk has no space, we auto stopRecord";
        requestStopRecording();
    } else if (state == NX_RECORD_ENDED && error == RecordError::DiskSlow) {
        qWarning() << "System memory poor for disk r/w performance, we auto stopRecord";
        send(QJsonObject{{"name", "record/over2"}, {"result", "error"}});
        requestStopRecording();
    } else if (state == NX_RECORD_ENDED && error != RecordError::None) {
        qWarning().noquote() << "recording of window" << position << "failed (error" << error
                             << "); the other windows go on";
    }
}

// ---------------------------------------------------------------- HTTP API

QJsonObject DaemonService::handleRequest(int code, const QByteArray &method, const QByteArray &body,
                                         const QUrl &url)
{
    const auto handler = m_commands.constFind(code);
    if (handler == m_commands.constEnd()) {
        qWarning() << "no handler for API command" << code;
        return ApiRoute::error();
    }
    return (*handler)(RequestParser::parseRequest(method, body, url));
}

void DaemonService::setCommandHandler(int code, CommandHandler handler)
{
    m_commands.insert(code, std::move(handler));
}

bool DaemonService::setSourceForWindow(const QJsonObject &request)
{
    if (!request.contains("type") || !request.contains("position") ||
        !request.contains("stream_id"))
        return false;
    const QString type = request.value("type").toString();
    const int position = request.value("position").toInt();
    const QString streamId = request.value("stream_id").toString();

    QString vendor;
#ifdef DR_HAVE_DISCOVERY
    if (sourceManager)
        vendor = sourceManager->getDeviceVendor(streamId);
#endif
    if (vendor.isEmpty() && !streamId.isEmpty())
        vendor = QStringLiteral("Other");
    m_outputMap[position] = streamId;
    m_windowObject->setVendor(position, vendor);

    if (type == QLatin1String("source")) {
        m_windowObject->setSource(position, streamId);
        emit sendSource(position, streamId);
    } else if (type == QLatin1String("display")) {
        if (!m_swapPending) {
            m_swapPosition = position;
            m_swapSource = streamId;
            m_swapPending = true;
        } else {
            const QString audioA = m_windowObject->audioState(m_swapPosition);
            const QString audioB = m_windowObject->audioState(position);
            m_windowObject->setSource(m_swapPosition, m_swapSource);
            m_windowObject->setSource(position, streamId);
            m_windowObject->setAudioState(m_swapPosition, audioB);
            m_windowObject->setAudioState(position, audioA);
            emit sendSource(m_swapPosition, m_swapSource);
            emit sendSource(position, streamId);
            emit sendAudioState(m_swapPosition, audioB != QLatin1String("off"));
            emit sendAudioState(position, audioA != QLatin1String("off"));
            m_swapPending = false;
        }
    }
    emit updateSource();
    return true;
}

bool DaemonService::applyManualTargets(const QJsonObject &request)
{
    if (!request.value("group_name").isArray() || !request.value("ip").isArray())
        return false;
    const QString groups = joinStrings(request.value("group_name").toArray());
    const QString ips = joinStrings(request.value("ip").toArray());
#ifdef DR_HAVE_DISCOVERY
    if (sourceManager)
        sourceManager->setNDIManualTargets(groups, ips);
#endif
    if (groups != m_ndiGroups || ips != m_manualIps) {
        m_ndiGroups = groups;
        m_manualIps = ips;
        writeGroupsFile(request);
    }
    return true;
}

bool DaemonService::setNdiInterfaces(const QJsonValue &value, QString *error)
{
#ifdef DR_HAVE_DISCOVERY
    const QString setting = DiscoveryInterfaces::normalize(value, error);
    if (setting.isEmpty())
        return false;
    if (sourceManager)
        sourceManager->setNDIInterfaces(setting);
    if (setting != m_ndiInterfaces || !m_ndiInterfacesStored) {
        m_ndiInterfaces = setting;
        m_ndiInterfacesStored = true;
        QJsonObject groups = JsonFile::readJsonFile(m_dataFolder + "/groups.json");
        if (!groups.value("group_name").isArray()) // missing or broken: from the current state
            groups = QJsonObject{
                {"group_name", QJsonArray::fromStringList(m_ndiGroups.split(QLatin1Char(',')))},
                {"ip", QJsonArray::fromStringList(
                           m_manualIps.split(QLatin1Char(','), Qt::SkipEmptyParts))}};
        writeGroupsFile(groups);
    }
    return true;
#else
    Q_UNUSED(value)
    if (error)
        *error = QStringLiteral("discovery is not built in");
    return false;
#endif
}

void DaemonService::writeGroupsFile(QJsonObject content)
{
    content.remove("interfaces");
    if (m_ndiInterfacesStored)
        content.insert("interfaces", m_ndiInterfaces);
    JsonFile::writeJsonFile(content, m_dataFolder + "/groups.json");
}

void DaemonService::setLanguage(const QString &lang)
{
    if (lang.isEmpty() || lang == m_language)
        return;
    m_language = lang;
    emit languageChanged(lang);
    QSettings settings(iniPath("lang.ini"), QSettings::IniFormat);
    settings.setValue("ChangeLanguage/Language", lang);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning().noquote() << "cannot write" << settings.fileName();
}

void DaemonService::setNtpServer(const QString &address)
{
    m_ntpServer = address;
    QSettings settings(iniPath("ntp.ini"), QSettings::IniFormat);
    settings.setValue("ChangeNtpServer/addr", address);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning().noquote() << "cannot write" << settings.fileName();
}

void DaemonService::saveOutput()
{
    JsonFile::writeJsonFile(QJsonObject{{"data", m_windowObject->storeJson()}},
                            m_dataFolder + "/output.json");
}

// ---------------------------------------------------------------- slots

void DaemonService::sendOutput()
{
    if (!m_webSocketServer)
        return;
    QJsonObject message = m_windowObject->outputJson();
    message.insert("name", "output/update");
    m_webSocketServer->sendMessages(message);
}

void DaemonService::setVolume(int position, int channel, int vol)
{
    m_windowObject->setLevel(position, channel, vol);
}

void DaemonService::setNtpState(int position, QString type, int bitrate, int yres, QString server)
{
    Q_UNUSED(server)
    const QString vendor = m_windowObject->vendor(position);
    if (vendor != VarimontVendor)
        bitrate = yres > 1080 ? 250000 : 130000;
    m_windowObject->setNtpState(position, type, bitrate, vendor);
}

void DaemonService::stopRecord()
{
    if (m_windowObject->isStandBy()) {
        m_windowObject->stopRecording();
        if (m_webSocketServer) {
            qWarning() << "Disk is full stop recording and time !!!!";
            m_webSocketServer->sendMessages(
                QJsonObject{{"name", "record/over"}, {"result", "error"}});
        }
    }
    m_windowObject->setRecordFlags(false);
}

void DaemonService::stopRecord2()
{
    if (m_windowObject->isStandBy())
        m_windowObject->stopRecording();
    m_windowObject->setRecordFlags(false);
}

void DaemonService::sendPathError()
{
    if (m_windowObject->isStandBy()) {
        m_windowObject->stopRecording();
        if (m_webSocketServer) {
            qWarning() << "path is error !!!!";
            m_webSocketServer->sendMessages(
                QJsonObject{{"name", "storePath/error"}, {"result", "error"}});
        }
    }
    m_windowObject->setRecordFlags(false);
}

QString DaemonService::getCurrentLang()
{
    return m_language;
}

void DaemonService::sendCurrentVideo(bool isInit, int position)
{
    Q_UNUSED(isInit)
    const QString source = m_windowObject->streamId(position);
    if (source.isEmpty())
        return;
    m_outputMap[position] = source;
    emit showSingleVideo(position, m_windowObject->showVideo(position),
                         m_windowObject->showVolume(position));
    emit sendSource(position, source);
    emit sendAudioState(position, m_windowObject->audioState(position) == QLatin1String("on"));
}

void DaemonService::setMute(bool flag, int position)
{
    if (flag) {
        m_windowObject->setAudioState(position, QStringLiteral("off"));
    } else {
        m_windowObject->setAudioState(position, QString(""));
        emit sendAudioState(position, false);
    }
}

void DaemonService::addNewSink(int position, QString source)
{
    if (!m_audioMixer)
        return;
    m_audioMixer->AddInputSource(m_nextSinkId, position, source);
    ++m_nextSinkId;
}

void DaemonService::removeSink(int position)
{
    if (!m_audioMixer)
        return;
    m_audioMixer->RemoveInputSource(position);
}

void DaemonService::followLayoutAudio(int windowsBefore, int windowsAfter)
{
    for (int position = windowsAfter + 1; position <= windowsBefore; ++position)
        removeSink(position);
    for (int position = windowsBefore + 1; position <= windowsAfter; ++position) {
        const QString source = m_windowObject->streamId(position);
        if (!source.isEmpty() && m_windowObject->audioState(position) == QLatin1String("on"))
            addNewSink(position, source);
    }
}

void DaemonService::followSource(int position, QString source)
{
    if (!m_heardWindows.value(position))
        return;
    removeSink(position);
    if (!source.isEmpty())
        addNewSink(position, source);
}

void DaemonService::followRemoval(int position)
{
    if (m_heardWindows.value(position))
        removeSink(position);
    m_heardWindows.remove(position);
}

void DaemonService::followAudioState(int position, bool enable)
{
    if (m_heardWindows.value(position) == enable)
        return;
    m_heardWindows[position] = enable;
    const QString source = m_windowObject->streamId(position);
    if (enable && !source.isEmpty())
        addNewSink(position, source);
    else if (!enable)
        removeSink(position);
}

bool DaemonService::getRecordState()
{
    return m_windowObject->isStandBy() && m_windowObject->isRecording();
}

void DaemonService::closeWindow()
{
    if (m_windowClosed)
        return; // the window's closing handler ran it; shutdown asks again
    m_windowClosed = true;
    // Recordings end and their files are closed before this returns.
    if (m_taskObject && m_taskThread && m_taskThread->isRunning()) {
        QMetaObject::invokeMethod(m_taskObject, "doRecordStatus", Qt::BlockingQueuedConnection,
                                  Q_ARG(bool, true), Q_ARG(bool, false), Q_ARG(bool, false));
    }
    if (m_taskThread && m_taskThread->isRunning()) {
        m_taskThread->quit();
        m_taskThread->wait();
    }
    m_sysInfo->stop();
    // The mixer's threads end and every sink leaves its connection before the connections
    // and the sound server connection go at exit.
    if (m_audioMixer)
        m_audioMixer->stop();
#ifdef DR_HAVE_MONITOR
    // Window feeds let go of their connections here, before the media connections end.
    if (m_monitor)
        m_monitor->releaseFeeds();
#endif
}

void DaemonService::shutdown()
{
    closeWindow();
    // No route runs after this: the event loop has ended. The recorder plug-in's thread
    // ends (its recordings were stopped by closeWindow), then the server with its
    // connections goes, before the process-wide objects are torn down.
    m_windowObject->releaseRecorderPlugin();
    delete m_httpServer;
    m_httpServer = nullptr;
    m_netSampler->stop();
}

void DaemonService::setFolderPath(QString path)
{
    m_windowObject->setStorePath(path);
    m_sysInfo->setDiskPath(m_windowObject->storePath());
    // The folder chosen in the dialog is a setting like any other: keep it on disk now.
    saveOutput();
    if (m_webSocketServer) {
        m_webSocketServer->sendMessages(QJsonObject{{"name", "storePath/update"},
                                                    {"result", "ok"},
                                                    {"data", QJsonObject{{"storePath", path}}}});
    }
}
