#include "control/DaemonService.h"

#include "control/ApiRoute.h"
#include "control/JsonFile.h"
#include "control/LayoutManager.h"
#include "control/LimitedTcpServer.h"
#include "control/RequestParser.h"
#include "control/SystemMonitorRoutes.h"
#include "control/WebSocketServer.h"
#include "control/WindowObject.h"
#ifdef DR_HAVE_MONITOR
#include "control/WindowMonitor.h"
#endif
#include "sysinfo/NetworkSampler.h"
#include "sysinfo/SystemMonitor.h"

#ifdef DR_HAVE_DISCOVERY
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

    applyManualTargets(JsonFile::readJsonFile(m_dataFolder + "/groups.json"));

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
#ifdef DR_HAVE_MONITOR
    registerMonitorRoutes(server, *this);
#endif
    registerStaticFileRoute(server, *this); // last: it takes every path left

    // Recording seam: m_taskObject = new TaskObject; m_taskThread = new QThread;
    // m_taskThread->start(QThread::InheritPriority); m_taskObject->moveToThread(m_taskThread).

    // Requests in flight must not reach a half-destroyed service: the server goes with the
    // event loop, before process-wide objects are torn down.
    if (QCoreApplication *app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            delete m_httpServer;
            m_httpServer = nullptr;
        });
    }

    // Oversized requests are refused on the connection, before their bodies are buffered.
    auto *listener = new LimitedTcpServer(ApiRoute::MaxBodyBytes, m_httpServer);
    if (listener->listen(QHostAddress::Any, quint16(m_port))) {
        server.bind(listener);
        m_boundPort = listener->serverPort();
    } else {
        qWarning().noquote() << "HTTP port" << m_port << "unavailable:" << listener->errorString();
    }
    const bool listening = m_boundPort != 0;
    qInfo().noquote() << "HttpServer listen port " << (listening ? m_boundPort : m_port)
                      << (listening ? "success!" : "failed!");
    return listening;
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
    // Audio seam: m_audioMixer = new AudioOutputMixer(projectName, 48000 Hz, 2 channels,
    // 16 bits, 10 ms frames) and its mixing thread start here.
    const QJsonDocument geometry(m_layoutManager->layoutJson());
    emit callQmlLoadCali(QString::fromUtf8(geometry.toJson(QJsonDocument::Indented)), layoutId);
    connectEventPush();
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
    // Recording seam: m_windowObject->updateSourceAddress(name, address) (record mutex).
    Q_UNUSED(name)
    Q_UNUSED(address)
}

void DaemonService::requestStopRecording()
{
    // Recording seam: QMetaObject::invokeMethod(m_taskObject, "doRecordStatus",
    // Qt::AutoConnection, true, true, false).
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
        JsonFile::writeJsonFile(request, m_dataFolder + "/groups.json");
    }
    return true;
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
        // Recording seam: m_windowObject->stopRecording().
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
    // Recording seam: when stand-by, m_windowObject->stopRecording().
    m_windowObject->setRecordFlags(false);
}

void DaemonService::sendPathError()
{
    if (m_windowObject->isStandBy()) {
        // Recording seam: m_windowObject->stopRecording().
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
    // Audio seam: m_audioMixer->AddInputSource(m_nextSinkId, position, source).
    Q_UNUSED(position)
    Q_UNUSED(source)
    ++m_nextSinkId;
}

void DaemonService::removeSink(int position)
{
    if (!m_audioMixer)
        return;
    // Audio seam: m_audioMixer->RemoveInputSource(position).
    Q_UNUSED(position)
}

bool DaemonService::getRecordState()
{
    return m_windowObject->isStandBy() && m_windowObject->isRecording();
}

void DaemonService::closeWindow()
{
    // Recording seam: when m_taskObject exists, invoke doRecordStatus(true, false, false)
    // on it with Qt::BlockingQueuedConnection.
    if (m_taskThread && m_taskThread->isRunning()) {
        m_taskThread->quit();
        m_taskThread->wait();
    }
#ifdef DR_HAVE_MONITOR
    // Window feeds let go of their connections here, before the media connections end.
    if (m_monitor)
        m_monitor->releaseFeeds();
#endif
    m_sysInfo->stop();
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
