#include "record/VideoRecording.h"

#include <QDeadlineTimer>
#include <QDebug>

VideoRecording::VideoRecording(QObject *parent) : QObject(parent) {}

VideoRecording::~VideoRecording()
{
    qDebug() << "~VideoRecording";
    destroyAll();
}

void VideoRecording::setToolFolder(const QString &folder)
{
    std::lock_guard lock(m_settingsLock);
    m_toolFolder = folder;
}

QString VideoRecording::toolFolder() const
{
    std::lock_guard lock(m_settingsLock);
    return m_toolFolder;
}

QString VideoRecording::program() const
{
    return toolFolder() + QStringLiteral("/res/bin/record/ndi-recorder");
}

void VideoRecording::setRecordingFolder(const QString &folder)
{
    std::lock_guard lock(m_settingsLock);
    m_recordingFolder = folder;
}

QString VideoRecording::recordingFolder() const
{
    std::lock_guard lock(m_settingsLock);
    return m_recordingFolder;
}

void VideoRecording::setCallback(RecordCallback callback)
{
    m_callback = std::move(callback);
}

void VideoRecording::createTask(const RecordTaskSettings &settings)
{
    RecordTask *old = nullptr;
    {
        std::lock_guard lock(m_tasksLock);
        old = m_tasks.value(settings.position, nullptr);
        if (old && old->source() == settings.source && !old->isRunning()) {
            old->setAddress(settings.address);
            old->setOutputFolder(settings.outputFolder);
            return; // same window, same source: the task is kept
        }
        m_tasks.remove(settings.position);
    }
    delete old; // stops a running program first
    auto *task = new RecordTask(settings, this);
    connect(task, &RecordTask::readyStart, this, &VideoRecording::onTaskStarted);
    connect(task, &RecordTask::readyError, this, &VideoRecording::onTaskError);
    std::lock_guard lock(m_tasksLock);
    m_tasks.insert(settings.position, task);
}

void VideoRecording::configureAll(const QString &limitType, int limitSize, int limitTime)
{
    for (RecordTask *task : std::as_const(m_tasks))
        task->configure(limitType, limitSize, limitTime);
}

bool VideoRecording::startAll()
{
    bool all = true;
    for (RecordTask *task : std::as_const(m_tasks))
        all = task->start() && all;
    return all;
}

void VideoRecording::stopTasks(const QList<RecordTask *> &tasks)
{
    // All programs are asked first so that they close their files in parallel.
    for (RecordTask *task : tasks)
        task->requestStop();
    const QDeadlineTimer deadline(RecordTask::StopWaitMs);
    for (RecordTask *task : tasks)
        task->waitStopped(int(std::max<qint64>(deadline.remainingTime(), 1)));
}

void VideoRecording::stopAll()
{
    for (RecordTask *task : std::as_const(m_tasks)) {
        // Reconnected so that the next start is reported again.
        disconnect(task, &RecordTask::readyStart, this, &VideoRecording::onTaskStarted);
        connect(task, &RecordTask::readyStart, this, &VideoRecording::onTaskStarted);
    }
    stopTasks(m_tasks.values());
}

void VideoRecording::removeTask(int position)
{
    RecordTask *task = nullptr;
    {
        std::lock_guard lock(m_tasksLock);
        task = m_tasks.take(position);
    }
    delete task;
}

void VideoRecording::destroyAll()
{
    QList<RecordTask *> tasks;
    {
        std::lock_guard lock(m_tasksLock);
        tasks = m_tasks.values();
        m_tasks.clear();
    }
    stopTasks(tasks);
    qDeleteAll(tasks);
}

void VideoRecording::updateUrl(int position, const QString &address)
{
    if (RecordTask *task = m_tasks.value(position, nullptr))
        task->setAddress(address); // the running program finds a moved source itself
}

bool VideoRecording::hasTask(int position) const
{
    std::lock_guard lock(m_tasksLock);
    return m_tasks.contains(position);
}

int VideoRecording::taskCount() const
{
    std::lock_guard lock(m_tasksLock);
    return int(m_tasks.size());
}

QJsonArray VideoRecording::statusJson() const
{
    std::lock_guard lock(m_tasksLock);
    QJsonArray out;
    for (const RecordTask *task : m_tasks)
        out.append(task->statusJson());
    return out;
}

void VideoRecording::onTaskStarted(int position)
{
    RecordTask *task = m_tasks.value(position, nullptr);
    if (!task)
        return;
    disconnect(task, &RecordTask::readyStart, this, &VideoRecording::onTaskStarted);
    emit message(QJsonObject{
        {"name", "record/start"}, {"result", "ok"}, {"data", QJsonObject{{"position", position}}}});
}

void VideoRecording::onTaskError(int position, QString error)
{
    if (!m_callback)
        return;
    int code = RecordError::Failed;
    if (error == QLatin1String("disk_full"))
        code = RecordError::DiskFull;
    else if (error == QLatin1String("disk_too_slow"))
        code = RecordError::DiskSlow;
    m_callback(position, NX_RECORD_ENDED, code);
}
