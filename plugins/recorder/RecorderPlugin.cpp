#include "RecorderPlugin.h"

#include "record/RecordNaming.h"
#include "record/VideoRecording.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QJsonArray>

RecorderPlugin::RecorderPlugin()
{
    m_thread.setObjectName(QStringLiteral("recorder-plugin"));
    m_host.moveToThread(&m_thread);
    m_recording = new VideoRecording;
    m_recording->moveToThread(&m_thread);
    connect(m_recording, &VideoRecording::message, m_recording, [this](const QJsonObject &m) {
        report(m.value("data").toObject().value("position").toInt(), NX_RECORD_STARTED,
               RecordError::None);
    });
    m_recording->setCallback(
        [this](int position, NX_RECORD_STATE state, int error) { report(position, state, error); });
    m_thread.start();
}

RecorderPlugin::~RecorderPlugin()
{
    onHost([this] {
        delete m_recording; // stops every program, bounded wait
        m_recording = nullptr;
    });
    m_thread.quit();
    m_thread.wait();
}

void RecorderPlugin::onHost(const std::function<void()> &work)
{
    if (QThread::currentThread() == &m_thread || !m_thread.isRunning()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(&m_host, work, Qt::BlockingQueuedConnection);
}

void RecorderPlugin::report(int position, NX_RECORD_STATE state, int error)
{
    RecordCallback callback;
    {
        std::lock_guard lock(m_callbackLock);
        callback = m_callback;
    }
    if (callback)
        callback(position, state, error);
}

void RecorderPlugin::setCallback(RecordCallback callback)
{
    std::lock_guard lock(m_callbackLock);
    m_callback = std::move(callback);
}

void RecorderPlugin::startOnHost(const QJsonObject &item, const QJsonObject &start)
{
    const QJsonObject pull = item.value("pullset").toObject();
    const QJsonObject record = item.value("recordset").toObject();
    RecordTaskSettings settings;
    settings.position = record.value("posID").toInt();
    settings.source = pull.value("source").toString();
    settings.address = pull.value("url").toString();
    settings.windowName = record.value("sourceName").toString();
    settings.dateFormat = record.value("dateFormat").toString(QStringLiteral("yyyyMMdd-HH.mm.ss"));
    const QString storePath =
        record.value("local").toArray().at(0).toString(start.value("storepath").toString());
    settings.outputFolder = RecordNaming::folder(storePath, record.value("projectName").toString(),
                                                 QDate::currentDate());
    settings.program = start.value("recorderProgram").toString();
    if (settings.program.isEmpty())
        settings.program =
            QCoreApplication::applicationDirPath() + QStringLiteral("/res/bin/record/ndi-recorder");
    settings.codec = record.value("codec").toString(start.value("codec").toString("h264"));
    settings.cfr = record.value("cfrmode").toInt(start.value("cfrmode").toInt(1)) ? 1 : 0;
    const int splitTime = record.value("splitTime").toInt();
    const int splitSize = record.value("splitSize").toInt();
    settings.limitType = splitTime > 0 ? QStringLiteral("time") : QStringLiteral("size");
    settings.limitTime = splitTime;
    settings.limitSize = splitSize;
    if (settings.position < 1 || settings.source.isEmpty() || storePath.isEmpty()) {
        qWarning() << "recorder plug-in: item without position, source or folder ignored";
        return;
    }
    m_recording->removeTask(settings.position); // a new recording starts from file 1
    m_recording->createTask(settings);
    m_recording->configureAll(settings.limitType, settings.limitSize, settings.limitTime);
}

void RecorderPlugin::startRecorder(const QJsonObject &start)
{
    onHost([&] {
        const QJsonArray items = start.value("items").toArray();
        for (const QJsonValue &item : items)
            startOnHost(item.toObject(), start);
        if (!m_recording->startAll())
            qWarning() << "recorder plug-in: not every recording could be started";
    });
}

void RecorderPlugin::startItem(const QJsonObject &item)
{
    onHost([&] {
        startOnHost(item, QJsonObject{});
        m_recording->startAll();
    });
}

void RecorderPlugin::stopItem(int position)
{
    onHost([&] { m_recording->removeTask(position); });
}

void RecorderPlugin::updateUrl(int position, const QString &address)
{
    // Queued: the discovery thread calls this under the application's record mutex.
    QMetaObject::invokeMethod(
        &m_host,
        [this, position, address] {
            if (m_recording)
                m_recording->updateUrl(position, address);
        },
        Qt::QueuedConnection);
}

void RecorderPlugin::stopRecorder(const QString &which)
{
    Q_UNUSED(which) // the application always stops every recording
    onHost([this] { m_recording->stopAll(); });
}

QJsonArray RecorderPlugin::recordingStatus() const
{
    return m_recording ? m_recording->statusJson() : QJsonArray{};
}
