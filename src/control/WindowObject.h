// The output's window model: the windows by position (1-based), the current layout id
// and window count, the project name, the recording storage settings and the record
// flags, and the persisted form of all of it (the "data" object of output.json).
//
// Thread: main thread. Windows are created on demand and never removed while the
// process runs, so a VideoObject pointer stays valid for the life of the model.
// The record flags, the storage settings and the windows are read and written on the main
// thread only. The recording side (RecordingModel: readyForRecord, startRecording,
// stopRecording, destroyRecord) runs on the record task thread and works from a record
// plan that checkRecord takes on the main thread; updateSourceAddress comes from the
// discovery thread. The record mutex guards the record plan, the recorder items
// (m_recordList) and the recording map. It is never held while calling into the source
// table or waiting for a recorder. The recorder back end: the plug-in (its interface may
// be called from any thread) or the coordinator (lives on the record task thread; calls
// from other threads are carried there and waited for).
#pragma once

#include "control/StorageSettings.h"
#include "record/RecorderInterface.h"
#include "record/RecordingModel.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class QThread;
class VideoObject;
class VideoRecording;

class WindowObject : public QObject, public RecordingModel
{
    Q_OBJECT
public:
    // The largest layout has 20 windows; nothing beyond is ever created.
    static constexpr int MaxWindows = 20;
    static constexpr int MaxLayoutId = 5;

    explicit WindowObject(QObject *parent = nullptr);
    ~WindowObject() override;

    // ---- layout and windows
    // Grows the window map up to `count` windows (existing windows are kept, also when
    // the layout shrinks), then stores id and count.
    void setWindowLayout(int layoutId, int count);
    // Current layout id; when below 1 sets layout 1 with one window first.
    int ensureLayout();
    int layoutId() const { return m_layoutId; }
    int windowCount() const { return m_windowCount; }
    QString projectName() const { return m_projectName; }
    // A changed name re-derives the recording folder.
    void setProjectName(const QString &name);

    bool hasWindow(int position) const { return m_windows.contains(position); }
    VideoObject *window(int position) const { return m_windows.value(position, nullptr); }
    QList<int> positions() const { return m_windows.keys(); }
    bool isEmpty() const { return m_windows.isEmpty(); }

    // ---- per-window operations; a position without a window is ignored
    void setSource(int position, const QString &name);
    void resetWindow(int position);
    void setName(int position, const QString &name);
    void setShow(int position, bool showVideo, bool showVolume);
    void setLevel(int position, int channel, int value);
    void setNtpState(int position, const QString &state, int bitRate, const QString &vendor);
    void setAudioState(int position, const QString &state);
    void setDeviceType(int position, const QString &type);
    void setVendor(int position, const QString &vendor);

    // ---- per-window getters with the defaults of a missing window
    bool showVideo(int position) const;     // true
    bool showVolume(int position) const;    // true
    QString streamId(int position) const;   // null text
    QString name(int position) const;       // null text
    QString audioState(int position) const; // "off"
    QString deviceType(int position) const; // ""
    QString vendor(int position) const;     // ""

    // ---- documents
    // {"data": {"layout_id", "layout_number", "layout": [window status objects]}}
    QJsonObject outputJson() const;
    // outputJson() as compact JSON text, rebuilt only when a window or the layout changed
    // since the last call (the output is polled often and changes rarely).
    QByteArray outputJsonText() const;
    // Persisted output object {"id": 1, "name", "layout_id", "layout_count", "layout",
    // "storage"}.
    QJsonObject storeJson() const;
    // Loads a persisted output object (the "data" of output.json). Unknown keys and
    // values of the wrong type are ignored; a layout id or count below 1 (or beyond the
    // catalogue) gives layout 1 with one window; at most MaxWindows entries are loaded.
    void initWindows(const QJsonObject &data, const QString &resFolder, const QString &dataFolder);
    void setResFolder(const QString &resFolder) { m_resFolder = resFolder; }
    QString resFolder() const { return m_resFolder; }
    QString dataFolder() const { return m_dataFolder; }

    // ---- storage settings
    // Stores the whole record; a changed store path re-derives the recording folder.
    void setStorage(const StorageSettings &settings);
    StorageSettings storage() const { return m_storage; }
    void setStorePath(const QString &path);
    QString storePath() const { return m_storage.storePath; }
    // Free space in MiB of the store path's drive, as last reported.
    void setFreeSpace(double freeMiB);
    double freeSpace() const { return m_freeSpace; }
    // False for an empty store path, else whether the folder exists.
    bool storePathExists() const;
    // {"result": "ok", "data": storage object}; an empty rule start is first set to the
    // project name, and "rules.start" always carries the project name.
    QJsonObject storageJson();

    // ---- record flags
    bool isStandBy() const { return m_standBy; }
    bool isRecording() const { return m_recording; }
    void setRecordFlags(bool value);
    // {"result": "ok", "data": {"isStandBy", "isRecording"}}; both flags are cleared
    // first when the store path is empty or its folder does not exist.
    QJsonObject recordStatusJson();

    // ---- recording (see the class comment for threads)
    // Loads the recorder plug-in (librecorder.so beside the executable, or the path in
    // DESK_RECORDER_RECORDER_PLUGIN); true when it is (or already was) loaded.
    bool loadRecorderPlugin();
    bool hasRecorderPlugin() const { return m_recorder != nullptr; }
    // Shutdown, after recordings were stopped: the plug-in's root object is destroyed, which
    // ends and joins its host thread. Recording goes without it afterwards.
    void releaseRecorderPlugin();
    VideoRecording *videoRecording() const { return m_videoRecording.get(); }
    // The application folder: the recording program is <folder>/res/bin/record/ndi-recorder.
    void setToolFolder(const QString &folder);
    // Moves the coordinator to the record task thread (before that thread drives it).
    void attachRecordThread(QThread *thread);
    // Called by the back end from its threads (see RecorderInterface).
    void setRecordCallback(RecordCallback callback) { m_callback = std::move(callback); }
    // Source name -> address (the source table); called from the record task thread.
    void setAddressLookup(std::function<QString(const QString &)> lookup)
    {
        m_addressLookup = std::move(lookup);
    }
    // Checks a record-set request ({"isStandBy", "isRecording"}), sets the flags and takes
    // the record plan; `message` gets the reason of a refusal when there is one. A request
    // whose flags are missing or not readable (readRecordFlag) is refused and changes
    // nothing.
    bool checkRecord(const QJsonObject &request, QString &message);
    // A record flag: a JSON boolean, the numbers 0 and 1, or the texts "true", "false",
    // "1", "0" (form and query requests). False when the value is none of these.
    static bool readRecordFlag(const QJsonValue &value, bool *flag);
    void readyForRecord() override;
    void startRecording() override;
    void stopRecording() override;
    void destroyRecord() override;
    // The source `name` moved to `address`: the windows recording it are told.
    void updateSourceAddress(const QString &name, const QString &address);
    // The prepared recorder items (a copy).
    QJsonArray recordList() const;
    // Per recorded window: {"position", "source", "state", "file", "files", "elapsed",
    // "frames", "dropped", "bytes", "error"}.
    QJsonArray recordingStatus() const;

signals:
    // "record/start" events of the coordinator, re-emitted on the main thread.
    void recordEvent(QJsonObject message);

private:
    // The coordinator's recording folder follows the store path and the project name.
    void applyRecordingFolder();
    void ensureCoordinator();
    // Runs `work` on the coordinator's thread and waits for it.
    void onCoordinator(const std::function<void()> &work);

    struct PlannedWindow
    {
        int position;
        QString name;
        QString streamId;
    };
    struct RecordPlan
    {
        StorageSettings storage;
        QString projectName;
        QList<PlannedWindow> windows;
    };

    // Sum of the layout's and the windows' revisions; every change makes it grow.
    quint64 outputRevision() const;

    int m_layoutId = 0;
    int m_windowCount = 0;
    quint64 m_revision = 0; // layout id, count and window creation
    mutable QByteArray m_outputText;
    mutable quint64 m_outputTextRevision = 0;
    QString m_projectName{"Default Project"};
    QMap<int, VideoObject *> m_windows; // owned (QObject children)
    QString m_resFolder;
    QString m_dataFolder;

    StorageSettings m_storage;
    bool m_standBy = false;
    bool m_recording = false;
    double m_freeSpace = 0.0;

    QString m_toolFolder;
    RecorderInterface *m_recorder = nullptr;          // the plug-in, until releaseRecorderPlugin
    QObject *m_recorderObject = nullptr;              // its root object, owned from loading on
    std::unique_ptr<VideoRecording> m_videoRecording; // coordinator, when no plug-in
    RecordCallback m_callback;
    std::function<QString(const QString &)> m_addressLookup;
    std::atomic<bool> m_pluginActive{false}; // the plug-in was started (task or main thread)

    mutable std::mutex m_recordMutex;
    RecordPlan m_plan;                 // guarded by m_recordMutex
    QJsonArray m_recordList;           // guarded by m_recordMutex
    QMap<int, QString> m_recordingMap; // position -> source; guarded by m_recordMutex
};
