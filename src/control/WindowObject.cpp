#include "control/WindowObject.h"

#include "control/VideoObject.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

WindowObject::WindowObject(QObject *parent) : QObject(parent) {}

WindowObject::~WindowObject() = default;

void WindowObject::setWindowLayout(int layoutId, int count)
{
    for (int position = m_windowCount + 1; position <= count; ++position) {
        if (!m_windows.contains(position))
            m_windows.insert(position, new VideoObject(position, this));
    }
    // Shrinking keeps the windows so that growing again brings their state back.
    // Recording subsystem seam: positions count+1 .. m_windowCount, which leave the
    // layout, drop their external recording task here.
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
    // Recording subsystem seam: the external recording task of `position` is removed here.
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
    if (m_storage.storePath.isEmpty() || m_windowCount < 1)
        return;
    // Recording subsystem seam: the external recorder coordinator takes its folder here,
    // "<storePath>/<projectName>-<yyyy.MM.dd of today>".
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
    return QJsonObject{
        {"result", "ok"},
        {"data", QJsonObject{{"isStandBy", m_standBy}, {"isRecording", m_recording}}}};
}
