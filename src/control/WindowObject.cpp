#include "control/WindowObject.h"

#include "control/VideoObject.h"
#include "record/RecordNaming.h"
#include "record/VideoRecording.h"
#include "sysinfo/MountTable.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPluginLoader>
#include <QThread>

namespace {

// Whether the store path lies on a file system of another machine (NFS, SMB, sshfs, ...).
bool isNetworkPath(const QString &storePath)
{
    if (storePath.size() < 2)
        return false;
    const MountTable mounts = MountTable::read();
    const MountTable::Entry *entry = mounts.find(storePath);
    return entry && MountTable::isNetworkFileSystem(entry->fsType);
}

} // namespace

WindowObject::WindowObject(QObject *parent) : QObject(parent)
{
    if (!loadRecorderPlugin())
        ensureCoordinator();
}

WindowObject::~WindowObject()
{
    releaseRecorderPlugin();
}

void WindowObject::setWindowLayout(int layoutId, int count)
{
    for (int position = m_windowCount + 1; position <= count; ++position) {
        if (!m_windows.contains(position))
            m_windows.insert(position, new VideoObject(position, this));
    }
    // Shrinking keeps the windows so that growing again brings their state back; the
    // windows that leave the layout drop their external recording task.
    if (count < m_windowCount && m_videoRecording && !m_recorder) {
        const int from = count + 1;
        const int to = m_windowCount;
        onCoordinator([this, from, to] {
            for (int position = from; position <= to; ++position)
                m_videoRecording->removeTask(position);
        });
    }
    m_layoutId = layoutId;
    m_windowCount = count;
    ++m_revision;
}

int WindowObject::ensureLayout()
{
    if (m_layoutId < 1) {
        ++m_revision;
        m_layoutId = 1;
        m_windowCount = 1;
        if (!m_windows.contains(1))
            m_windows.insert(1, new VideoObject(1, this));
    }
    return m_layoutId;
}

void WindowObject::setProjectName(const QString &name)
{
    if (name == m_projectName)
        return;
    m_projectName = name;
    applyRecordingFolder();
}

// ---------------------------------------------------------------- per window

void WindowObject::setSource(int position, const QString &name)
{
    if (VideoObject *video = window(position))
        video->setSource(name);
}

void WindowObject::resetWindow(int position)
{
    if (VideoObject *video = window(position))
        video->resetWindow();
    if (m_videoRecording && !m_recorder)
        onCoordinator([this, position] { m_videoRecording->removeTask(position); });
}

void WindowObject::setName(int position, const QString &name)
{
    if (VideoObject *video = window(position))
        video->setName(name);
}

void WindowObject::setShow(int position, bool showVideo, bool showVolume)
{
    if (VideoObject *video = window(position))
        video->setShow(showVideo, showVolume);
}

void WindowObject::setLevel(int position, int channel, int value)
{
    if (VideoObject *video = window(position))
        video->setLevel(channel, value);
}

void WindowObject::setNtpState(int position, const QString &state, int bitRate,
                               const QString &vendor)
{
    if (VideoObject *video = window(position))
        video->setNtpState(state, bitRate, vendor);
}

void WindowObject::setAudioState(int position, const QString &state)
{
    if (VideoObject *video = window(position))
        video->setAudioState(state);
}

void WindowObject::setDeviceType(int position, const QString &type)
{
    if (VideoObject *video = window(position))
        video->setDeviceType(type);
}

void WindowObject::setVendor(int position, const QString &vendor)
{
    if (VideoObject *video = window(position))
        video->setVendor(vendor);
}

bool WindowObject::showVideo(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->showVideo() : true;
}

bool WindowObject::showVolume(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->showVolume() : true;
}

QString WindowObject::streamId(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->streamId() : QString();
}

QString WindowObject::name(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->name() : QString();
}

QString WindowObject::audioState(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->audioState() : QStringLiteral("off");
}

QString WindowObject::deviceType(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->deviceType() : QString("");
}

QString WindowObject::vendor(int position) const
{
    const VideoObject *video = window(position);
    return video ? video->vendor() : QString("");
}

// ---------------------------------------------------------------- documents

QJsonObject WindowObject::outputJson() const
{
    QJsonArray layout;
    for (const VideoObject *video : m_windows)
        layout.append(video->statusJson());
    return QJsonObject{{"data", QJsonObject{{"layout_id", m_layoutId},
                                            {"layout_number", m_windowCount},
                                            {"layout", layout}}}};
}

quint64 WindowObject::outputRevision() const
{
    quint64 revision = m_revision + quint64(m_windows.size());
    for (const VideoObject *video : m_windows)
        revision += video->revision();
    return revision;
}

QByteArray WindowObject::outputJsonText() const
{
    // Revision 0 never matches: the first call always builds the text.
    const quint64 revision = outputRevision() + 1;
    if (revision != m_outputTextRevision) {
        m_outputText = QJsonDocument(outputJson()).toJson(QJsonDocument::Compact);
        m_outputTextRevision = revision;
    }
    return m_outputText;
}

QJsonObject WindowObject::storeJson() const
{
    QJsonArray layout;
    for (const VideoObject *video : m_windows)
        layout.append(video->storeJson());
    return QJsonObject{
        {"id", 1},
        {"name", m_projectName},
        {"layout_id", m_layoutId},
        {"layout_count", m_windowCount},
        {"layout", layout},
        {"storage", m_storage.toJson()},
    };
}

void WindowObject::initWindows(const QJsonObject &data, const QString &resFolder,
                               const QString &dataFolder)
{
    m_resFolder = resFolder;
    m_dataFolder = dataFolder;
    ++m_revision;

    if (data.value("name").isString())
        m_projectName = data.value("name").toString();

    if (data.contains("layout_id") || data.contains("layout_count")) {
        m_layoutId = data.value("layout_id").toInt();
        m_windowCount = data.value("layout_count").toInt();
        if (m_layoutId < 1 || m_windowCount < 1 || m_layoutId > MaxLayoutId ||
            m_windowCount > MaxWindows) {
            m_layoutId = 1;
            m_windowCount = 1;
        }
    }

    if (data.value("storage").isObject()) {
        const QJsonObject storage = data.value("storage").toObject();
        if (storage.contains("storePath"))
            m_storage.storePath = storage.value("storePath").toString();
        if (storage.contains("limitType"))
            m_storage.limitType = storage.value("limitType").toString();
        if (storage.contains("limitSize"))
            m_storage.limitSize = storage.value("limitSize").toInt();
        if (storage.contains("limitTime"))
            m_storage.limitTime = storage.value("limitTime").toInt();
        if (m_storage.limitType == QLatin1String("size") && m_storage.limitSize <= 0)
            m_storage.limitSize = 1024;
        if (m_storage.limitType == QLatin1String("time") && m_storage.limitTime <= 0)
            m_storage.limitTime = 60;
        m_storage.frmode = storage.value("frmode").toInt();
        if (storage.value("rules").isObject()) {
            const QJsonObject rules = storage.value("rules").toObject();
            if (rules.contains("start"))
                m_storage.ruleStart = rules.value("start").toString();
            if (rules.contains("middle"))
                m_storage.ruleMiddle = rules.value("middle").toString();
            if (rules.contains("end"))
                m_storage.ruleEnd = rules.value("end").toString();
            if (m_storage.ruleStart.isEmpty())
                m_storage.ruleStart = m_projectName;
            if (m_storage.ruleEnd.isEmpty())
                m_storage.ruleEnd = QStringLiteral("yyyyMMdd-HH.mm.ss");
        }
    }

    const QJsonArray layout = data.value("layout").toArray();
    if (layout.size() > MaxWindows) {
        qWarning() << "settings hold" << layout.size() << "windows; loading the first"
                   << MaxWindows;
    }
    const int entries = int(std::min<qsizetype>(layout.size(), MaxWindows));
    for (int position = 1; position <= entries; ++position) {
        VideoObject *video = window(position);
        if (!video) {
            video = new VideoObject(position, this);
            m_windows.insert(position, video);
        }
        video->loadJson(layout.at(position - 1).toObject());
    }

    if (data.value("storage").toObject().contains("codec"))
        m_storage.codec = StorageSettings::validCodec(data["storage"]["codec"].toString());

    // The plug-in may have been added since the model was built; otherwise the coordinator
    // records from the application folder.
    if (!loadRecorderPlugin())
        ensureCoordinator();
    setStorePath(m_storage.storePath);
}

// ---------------------------------------------------------------- storage

void WindowObject::setStorage(const StorageSettings &settings)
{
    const bool pathChanged = settings.storePath != m_storage.storePath;
    m_storage = settings;
    if (pathChanged)
        setStorePath(settings.storePath);
}

void WindowObject::setStorePath(const QString &path)
{
    m_storage.storePath = path;
    applyRecordingFolder();
}

void WindowObject::applyRecordingFolder()
{
    if (m_storage.storePath.isEmpty() || m_windowCount < 1 || !m_videoRecording)
        return;
    m_videoRecording->setRecordingFolder(
        RecordNaming::folder(m_storage.storePath, m_projectName, QDate::currentDate()));
}

void WindowObject::setFreeSpace(double freeMiB)
{
    if (freeMiB != m_freeSpace)
        m_freeSpace = freeMiB;
}

bool WindowObject::storePathExists() const
{
    if (m_storage.storePath.isEmpty())
        return false;
    return QDir(m_storage.storePath).exists();
}

QJsonObject WindowObject::storageJson()
{
    if (m_storage.ruleStart.isEmpty())
        m_storage.ruleStart = m_projectName;
    QJsonObject data = m_storage.toJson();
    QJsonObject rules = data.value("rules").toObject();
    rules.insert("start", m_projectName);
    data.insert("rules", rules);
    return QJsonObject{{"result", "ok"}, {"data", data}};
}

void WindowObject::setRecordFlags(bool value)
{
    m_standBy = value;
    m_recording = value;
}

QJsonObject WindowObject::recordStatusJson()
{
    if (!storePathExists())
        setRecordFlags(false);
    return QJsonObject{{"result", "ok"},
                       {"data", QJsonObject{{"isStandBy", m_standBy},
                                            {"isRecording", m_recording},
                                            {"windows", recordingStatus()}}}};
}

// ---------------------------------------------------------------- recording

bool WindowObject::loadRecorderPlugin()
{
    if (m_recorder)
        return true;
    QString path = qEnvironmentVariable("DESK_RECORDER_RECORDER_PLUGIN");
    if (path.isEmpty()) {
        const QString folder = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                            : QStringLiteral(".");
        path = folder + QStringLiteral("/librecorder.so");
    }
    QPluginLoader loader(path);
    QObject *root = loader.instance();
    auto *recorder = root ? qobject_cast<RecorderInterface *>(root) : nullptr;
    if (!recorder) {
        qWarning().noquote() << "loadPlugin recorder fail, disable record sdk, use old."
                             << (loader.errorString().isEmpty() ? QString() : loader.errorString());
        return false;
    }
    m_recorder = recorder;
    m_recorderObject = root;
    const QString version =
        loader.metaData().value("MetaData").toObject().value("version").toString();
    qInfo().noquote() << "loadPlugin recorder ok, enabled record sdk, version=" + version;
    return true;
}

void WindowObject::releaseRecorderPlugin()
{
    if (!m_recorderObject)
        return;
    m_pluginActive = false;
    m_recorder = nullptr;
    delete m_recorderObject;
    m_recorderObject = nullptr;
}

void WindowObject::ensureCoordinator()
{
    if (m_videoRecording)
        return;
    m_videoRecording = std::make_unique<VideoRecording>();
    m_videoRecording->setToolFolder(m_toolFolder);
    m_videoRecording->setCallback([this](int position, NX_RECORD_STATE state, int error) {
        if (m_callback)
            m_callback(position, state, error);
    });
    connect(m_videoRecording.get(), &VideoRecording::message, this, &WindowObject::recordEvent);
    applyRecordingFolder();
}

void WindowObject::setToolFolder(const QString &folder)
{
    m_toolFolder = folder;
    if (m_videoRecording && !m_recorder)
        m_videoRecording->setToolFolder(folder);
}

void WindowObject::attachRecordThread(QThread *thread)
{
    if (m_videoRecording && thread && m_videoRecording->thread() != thread)
        m_videoRecording->moveToThread(thread);
}

void WindowObject::onCoordinator(const std::function<void()> &work)
{
    QThread *owner = m_videoRecording->thread();
    if (owner == QThread::currentThread() || !owner->isRunning())
        work();
    else
        QMetaObject::invokeMethod(m_videoRecording.get(), work, Qt::BlockingQueuedConnection);
}

bool WindowObject::checkRecord(const QJsonObject &request, QString &message)
{
    bool standBy = false;
    bool recording = false;
    if (!readRecordFlag(request.value("isStandBy"), &standBy) ||
        !readRecordFlag(request.value("isRecording"), &recording))
        return false;
    if (m_windows.isEmpty()) {
        message = QStringLiteral("当前没有可录像用的视频源，请先设置视频源！");
        return false;
    }
    const bool diskOk = m_freeSpace > 1024.0;
    const bool folderOk = storePathExists();
    m_standBy = false;
    m_recording = false;
    if (diskOk && folderOk) {
        m_standBy = standBy;
        m_recording = recording;
    }

    // The record task thread prepares the windows as they are now.
    RecordPlan plan;
    plan.storage = m_storage;
    plan.projectName = m_projectName;
    for (int position = 1; position <= m_windowCount; ++position) {
        VideoObject *video = window(position);
        if (!video)
            continue;
        QString name = video->name();
        if (name.isEmpty())
            name = QStringLiteral("Camera-") + QString::number(video->takeFallbackNameNumber());
        plan.windows.append({position, name, video->streamId()});
    }
    {
        std::lock_guard lock(m_recordMutex);
        m_plan = plan;
    }

    if (!standBy || !recording)
        return true;
    if (!diskOk)
        qWarning().noquote() << "recording refused: free space" << m_freeSpace
                             << "MiB is not above 1024 MiB";
    if (!folderOk)
        qWarning().noquote() << "recording refused: the store folder" << m_storage.storePath
                             << "does not exist";
    return diskOk && folderOk;
}

bool WindowObject::readRecordFlag(const QJsonValue &value, bool *flag)
{
    if (value.isBool()) {
        *flag = value.toBool();
        return true;
    }
    if (value.isDouble() && (value.toDouble() == 0 || value.toDouble() == 1)) {
        *flag = value.toDouble() == 1;
        return true;
    }
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1")) {
        *flag = true;
        return true;
    }
    if (text == QLatin1String("false") || text == QLatin1String("0")) {
        *flag = false;
        return true;
    }
    return false;
}

void WindowObject::readyForRecord()
{
    RecordPlan plan;
    {
        std::lock_guard lock(m_recordMutex);
        if (!m_recordList.isEmpty()) {
            qWarning() << "readyForRecord logic error, m_recordList > 0";
            return;
        }
        plan = m_plan;
    }
    const StorageSettings &storage = plan.storage;
    const bool byTime = storage.limitType == QLatin1String("time");
    const int cfrmode = storage.frmode == 0 ? 1 : 0;
    const QString folder =
        RecordNaming::folder(storage.storePath, plan.projectName, QDate::currentDate());
    QJsonArray items;
    QMap<int, QString> recording;
    for (const PlannedWindow &w : plan.windows) {
        if (w.name.isEmpty() || w.streamId.isEmpty())
            continue;
        // Looked up before the record mutex is taken: the source table calls back into
        // updateSourceAddress while it holds its own lock.
        const QString address = m_addressLookup ? m_addressLookup(w.streamId) : QString();
        if (m_recorder) {
            const QJsonObject recordset{
                {"local", QJsonArray{storage.storePath}},
                {"projectName", plan.projectName},
                {"sourceName", w.name},
                {"posID", w.position},
                {"startNumber", 1},
                {"fileType", "MOV"},
                {"splitTime", byTime ? storage.limitTime : 0},
                {"splitSize", byTime ? 0 : storage.limitSize},
                {"dateFormat", storage.ruleEnd},
                {"cfrmode", cfrmode},
                {"nasFlag", isNetworkPath(storage.storePath)},
                {"codec", storage.codec},
            };
            items.append(
                QJsonObject{{"pullset", QJsonObject{{"source", w.streamId}, {"url", address}}},
                            {"recordset", recordset}});
        } else if (m_videoRecording) {
            RecordTaskSettings settings;
            settings.position = w.position;
            settings.source = w.streamId;
            settings.address = address;
            settings.windowName = w.name;
            settings.dateFormat = storage.ruleEnd;
            settings.outputFolder = folder;
            settings.program = m_videoRecording->program();
            settings.codec = storage.codec;
            settings.cfr = cfrmode;
            onCoordinator([this, settings] { m_videoRecording->createTask(settings); });
        }
        recording.insert(w.position, QString::fromUtf8(w.streamId.toLocal8Bit()));
    }
    {
        std::lock_guard lock(m_recordMutex);
        m_recordList = items;
        m_recordingMap = recording;
    }
    if (m_videoRecording && !m_recorder) {
        m_videoRecording->setRecordingFolder(folder);
        onCoordinator([this, storage] {
            m_videoRecording->configureAll(storage.limitType, storage.limitSize, storage.limitTime);
        });
    }
}

void WindowObject::startRecording()
{
    if (m_recorder) {
        QJsonArray items;
        QString storePath;
        int cfrmode = 1;
        QString codec;
        {
            std::lock_guard lock(m_recordMutex);
            items = m_recordList;
            storePath = m_plan.storage.storePath;
            cfrmode = m_plan.storage.frmode == 0 ? 1 : 0;
            codec = m_plan.storage.codec;
        }
        m_recorder->setCallback(m_callback);
        m_recorder->startRecorder(QJsonObject{
            {"transcode", 0},
            {"cfrmode", cfrmode},
            {"items", items},
            {"storepath", storePath},
            {"codec", codec},
            {"recorderProgram", m_toolFolder + QStringLiteral("/res/bin/record/ndi-recorder")},
        });
        m_pluginActive = true;
        return;
    }
    if (m_videoRecording) {
        bool all = true;
        onCoordinator([this, &all] { all = m_videoRecording->startAll(); });
        if (!all)
            qWarning() << "not every recording could be started";
    }
}

void WindowObject::stopRecording()
{
    if (m_recorder)
        m_recorder->stopRecorder(QString(""));
    m_pluginActive = false;
    if (m_videoRecording)
        onCoordinator([this] { m_videoRecording->stopAll(); });
    std::lock_guard lock(m_recordMutex);
    while (!m_recordList.isEmpty())
        m_recordList.removeLast();
    m_recordingMap.clear();
}

void WindowObject::destroyRecord()
{
    // Files are closed before this returns: the plug-in is stopped too when it records.
    if (m_recorder && m_pluginActive) {
        m_recorder->stopRecorder(QString(""));
        m_pluginActive = false;
    }
    if (m_videoRecording)
        onCoordinator([this] { m_videoRecording->destroyAll(); });
    qInfo() << "destroyRecord!";
}

void WindowObject::updateSourceAddress(const QString &name, const QString &address)
{
    std::lock_guard lock(m_recordMutex);
    const QString key = QString::fromUtf8(name.toLocal8Bit());
    for (auto it = m_recordingMap.cbegin(); it != m_recordingMap.cend(); ++it) {
        if (it.value() != key)
            continue;
        if (m_recorder) {
            m_recorder->updateUrl(it.key(), address);
        } else if (m_videoRecording) {
            VideoRecording *coordinator = m_videoRecording.get();
            const int position = it.key();
            QMetaObject::invokeMethod(
                coordinator,
                [coordinator, position, address] { coordinator->updateUrl(position, address); },
                Qt::QueuedConnection);
        }
    }
}

QJsonArray WindowObject::recordList() const
{
    std::lock_guard lock(m_recordMutex);
    return m_recordList;
}

QJsonArray WindowObject::recordingStatus() const
{
    QJsonArray status;
    if (m_recorderObject) {
        QMetaObject::invokeMethod(m_recorderObject, "recordingStatus", Qt::DirectConnection,
                                  Q_RETURN_ARG(QJsonArray, status));
    } else if (m_videoRecording) {
        status = m_videoRecording->statusJson();
    }
    return status;
}
