// The central control object: shared settings (folders, UI language, NDI groups and
// manual addresses, clock server), the window model, the layout catalogue, the HTTP
// API and the bridge to QML (context property "daemonService").
//
// Thread: main thread. Route handlers and QML calls run there one at a time. Two entry
// points may be called from other threads: updateSourceAddress (discovery thread; the
// window model's record mutex guards that path) and requestStopRecording (recorder
// callback; it only queues an invocation). This class holds no lock.
#pragma once

#include "record/RecorderInterface.h"
#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

class AccessControl;
class AudioOutputMixer;
class LayoutManager;
class NetworkSampler;
class QHttpServer;
class QThread;
class SourceManager;
class SystemMonitor;
class TaskObject;
class WebSocketServer;
class WindowMonitor;
class WindowObject;

// Command codes of the routes that go through DaemonService::handleRequest.
namespace ApiCommand {
enum Code : int
{
    SetSource = 0,
    AddManualIp = 1,
    LangModify = 2,
    OutputIcon = 3,
    SetLayout = 4,
    OutputGet = 5,
    DeleteAll = 6,
    RecordSet = 7,
    RecordGet = 8,
    StorageGet = 9,
    StorageSet = 10,
    StorageGetStorePath = 11,
    SetName = 12,
    Remove = 13,
    SetGlobalVisible = 14,
    SetEnable = 15,
    ProjectSet = 17,
    NtpSet = 20,
    NtpApply = 21,
    NtpSync = 22,
    WindowAudioSet = 23,
    InterfacesSet = 24,
};
}

class DaemonService : public QObject
{
    Q_OBJECT
public:
    // The process-wide service, created on first use and destroyed at exit.
    static DaemonService *instance();

    // Tests may build their own service; the application uses instance().
    explicit DaemonService(QObject *parent = nullptr);
    ~DaemonService() override;

    // Stores the folders and port, creates the data folder when missing, reads lang.ini,
    // ntp.ini, groups.json and output.json (defaults for missing or broken files).
    // False only when the data folder cannot be created.
    bool init(const QString &dataFolder, const QString &baseFolder, int port);
    // Address the HTTP server listens on (default: all interfaces); set before
    // startHttpServer.
    void setBindAddress(const QHostAddress &address) { m_bindAddress = address; }
    QHostAddress bindAddress() const { return m_bindAddress; }
    // Who may call the API (default: open); set before startHttpServer.
    void setAccessControl(std::shared_ptr<const AccessControl> access);
    // Registers the routes and listens on the bind address at the port given to init (0
    // picks a free port, see serverPort()). Logs "HttpServer listen port <port>
    // success!" or "failed!".
    bool startHttpServer();
    // Paths of the registered API routes ("/api/..."), for the API document's check.
    // Empty before startHttpServer.
    QStringList apiRoutes() const;
    // The port the HTTP server listens on, 0 when it does not.
    quint16 serverPort() const;
    void setWebSocketServer(WebSocketServer *server) { m_webSocketServer = server; }
    WebSocketServer *webSocketServer() const { return m_webSocketServer; }
    // Opens the output: guarantees a layout, hands the geometry to QML
    // (callQmlLoadCali), creates the audio mixer and connects the event push. False when
    // sourceManager is not set.
    Q_INVOKABLE bool openWindow();
    // With true (no QML scene, e.g. headless), the service itself answers its window
    // signals as the scene would: a window whose audio is on is heard through addNewSink,
    // and the mixer holds the heard sources' streams open. Set before openWindow.
    void setAudioFollowsWindows(bool follow) { m_audioFollowsWindows = follow; }
    // The audio output mixer; null before openWindow.
    AudioOutputMixer *audioMixer() const { return m_audioMixer; }

    // Late step of the application's shutdown (main thread, event loop ended, media side
    // already down): closeWindow() if it has not run, then closes the HTTP server and ends
    // the network sampler's thread. No thread of this service runs afterwards.
    void shutdown();

    // Called by the source table (discovery thread) when a listed source's address changed.
    void updateSourceAddress(const QString &name, const QString &address);
    // Called by the recorder callback (any thread): queues a stop of all recordings.
    void requestStopRecording();
    // Queues doRecordStatus(checked, standBy, recording) to the record task thread.
    void applyRecordStatus(bool checked, bool standBy, bool recording);
    // The record callback of the back ends (any thread): "record/start", and for a full or
    // too slow disk "record/over" / "record/over2" and a stop of all recordings.
    void recordCallback(int position, NX_RECORD_STATE state, int error);

    // ---- HTTP API
    using CommandHandler = std::function<QJsonObject(const QJsonObject &request)>;
    // Parses the request (RequestParser) and runs the handler registered for `code`; an
    // unknown code gives {"result": "error"}.
    QJsonObject handleRequest(int code, const QByteArray &method, const QByteArray &body,
                              const QUrl &url);
    // Route groups register the handler of each command code they serve.
    void setCommandHandler(int code, CommandHandler handler);

    // setSource route: vendor, outputMap and type "source" / "display" (two-request swap).
    // False when a required key is missing.
    bool setSourceForWindow(const QJsonObject &request);
    // addManualIp route and groups.json: needs arrays "group_name" and "ip"; hands the
    // joined strings to the source manager and, when they changed, stores them and writes
    // `request` to groups.json. False when a key is missing or not an array.
    bool applyManualTargets(const QJsonObject &request);
    // Discovery-interface setting ("interfaces" in groups.json): a string or an array
    // (DiscoveryInterfaces::normalize). Hands it to the source manager and stores it; false,
    // with the reason in `error`, when it is not a setting (nothing changes then).
    bool setNdiInterfaces(const QJsonValue &value, QString *error);

    // ---- state used by the routes
    WindowObject *windowObject() const { return m_windowObject.get(); }
    LayoutManager *layoutManager() const { return m_layoutManager; }
    QMap<int, QString> &outputMap() { return m_outputMap; }
    QString dataFolder() const { return m_dataFolder; }
    QString resFolder() const { return m_resFolder; }
    int port() const { return m_port; }
    QString ndiGroups() const { return m_ndiGroups; }
    QString manualIps() const { return m_manualIps; }
    // The stored discovery-interface setting, else the inherited environment's
    // (DESK_RECORDER_NDI_INTERFACES), else "all".
    QString ndiInterfaces() const { return m_ndiInterfaces; }
    QString language() const { return m_language; }
    // A changed language is stored, written to lang.ini and announced (languageChanged).
    void setLanguage(const QString &lang);
    QString ntpServer() const { return m_ntpServer; }
    // Stores the clock server address and writes it to ntp.ini.
    void setNtpServer(const QString &address);
    int projectId() const { return m_projectId; }
    bool swapPending() const { return m_swapPending; }
    // Last free space (MiB) of the store path's drive handed to the window model; -1.0
    // before the first report.
    double freeSpace() const { return m_freeSpace; }
    void setFreeSpace(double freeMiB) { m_freeSpace = freeMiB; }
    int nextSinkId() const { return m_nextSinkId; }
    // System monitor and network sampler (created by the constructor).
    SystemMonitor *sysInfo() const { return m_sysInfo; }
    NetworkSampler *netSampler() const { return m_netSampler; }
    // Window feeds, previews and alarms; created by init, null before (and in builds
    // without the source table).
    WindowMonitor *windowMonitor() const { return m_monitor; }

    // Set by start-up; not owned. Every use tests it for null.
    SourceManager *sourceManager = nullptr;

signals:
    void callQmlLoadCali(QString jsonString, int initId);
    void sendLayout(int layoutId, int count);
    void languageChanged(QString fileName);
    void sendSource(int position, QString source);
    void removeSource(int position);
    void openFileDialog();
    void showSingleVideo(int position, bool showVideo, bool showVolume);
    void showAllVideo(bool showVideo);
    void updateSource();
    void updateProject();
    void updateStore();
    void applyAllNtp(QString server);
    void applySingleNtp(int position, QString server);
    void sendAudioState(int position, bool enable);
    // The active alarms of a window changed: comma-separated kinds, "" for none.
    void alarmChanged(int position, QString alarms);

public slots:
    // Pushes "output/update" with the output status object.
    void sendOutput();
    void setVolume(int position, int channel, int vol);
    void setNtpState(int position, QString type, int bitrate, int yres, QString server);
    // Forced stops; see the .cpp for their events.
    void stopRecord();
    void stopRecord2();
    void sendPathError();
    QString getCurrentLang();
    void sendCurrentVideo(bool isInit, int position);
    void setMute(bool flag, int position);
    void addNewSink(int position, QString source);
    void removeSink(int position);
    // The layout went from `windowsBefore` to `windowsAfter` windows: windows that left it
    // are no longer heard, windows that came back with their audio on are heard again.
    void followLayoutAudio(int windowsBefore, int windowsAfter);
    bool getRecordState();
    // First step of the application's shutdown (also called by the window's closing
    // handler): recordings stopped and their files closed, audio output stopped, task thread
    // ended, monitor stopped. Runs once; later calls do nothing.
    void closeWindow();
    void setFolderPath(QString path);

private slots:
    // Writes {"data": window model document} to output.json.
    void saveOutput();
    // The scene's part of the window audio when the service follows the windows itself.
    void followSource(int position, QString source);
    void followRemoval(int position);
    void followAudioState(int position, bool enable);

private:
    void readSettings();
    void connectEventPush();
    // One "output/update" for all model changes of the current event-loop turn.
    void scheduleOutputPush();
    QString iniPath(const char *file) const;
    // Writes groups.json: `content` with the stored interface setting in place of its own.
    void writeGroupsFile(QJsonObject content);

    QHttpServer *m_httpServer = nullptr; // owned
    QHostAddress m_bindAddress{QHostAddress::Any};
    std::shared_ptr<const AccessControl> m_access; // null: open
    QString m_dataFolder;
    QString m_resFolder;
    int m_port = 0;
    quint16 m_boundPort = 0;
    QString m_language{"zh"};
    bool m_swapPending = false;
    int m_swapPosition = 0;
    QString m_swapSource;
    QString m_ndiGroups{"public"};
    QString m_manualIps;
    QString m_ndiInterfaces{"all"};
    bool m_ndiInterfacesStored = false; // set by groups.json or the route, not by default
    std::shared_ptr<WindowObject> m_windowObject;
    QMap<int, QString> m_outputMap;           // position -> source name given through this service
    AudioOutputMixer *m_audioMixer = nullptr; // owned; created by openWindow
    bool m_audioFollowsWindows = false;
    QMap<int, bool> m_heardWindows;           // position -> audio on, when following the windows
    LayoutManager *m_layoutManager = nullptr; // owned
    WebSocketServer *m_webSocketServer = nullptr; // not owned
    SystemMonitor *m_sysInfo = nullptr;           // owned; created by the constructor
    NetworkSampler *m_netSampler = nullptr;       // QObject child; sampling from construction
    int m_nextSinkId = 1;
    TaskObject *m_taskObject = nullptr; // recording seam: created by startHttpServer
    QThread *m_taskThread = nullptr;    // recording seam: thread of m_taskObject
    double m_freeSpace = -1.0;
    const int m_projectId = 1;
    QString m_ntpServer;
    QMap<int, CommandHandler> m_commands;
    bool m_eventPushConnected = false;
    bool m_outputPushPending = false;
    bool m_windowClosed = false;
    WindowMonitor *m_monitor = nullptr; // owned
};
