// The external recorder coordinator: one RecordTask (one run of the recording program)
// per recorded window, used when the recorder plug-in cannot be loaded.
//
// Thread: the object and its tasks live on one thread with an event loop (the record task
// thread once the control service moved it there); every operation except the folder
// setters and statusJson() is called on that thread. The settings lock guards the tool and
// recording folders; the tasks lock guards the task map's structure (statusJson reads it
// from the main thread). Lock order: tasks lock, then a task's status lock.
#pragma once

#include "record/RecordTask.h"
#include "record/RecorderInterface.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <mutex>

class VideoRecording : public QObject
{
    Q_OBJECT
public:
    explicit VideoRecording(QObject *parent = nullptr);
    ~VideoRecording() override;

    // The application folder; the program is <tool folder>/res/bin/record/ndi-recorder.
    void setToolFolder(const QString &folder);
    QString toolFolder() const;
    QString program() const;
    // "<store path>/<project>-<yyyy.MM.dd>"; new tasks record there.
    void setRecordingFolder(const QString &folder);
    QString recordingFolder() const;
    // Disk full (-4), disk too slow (-5) and failures (-1) of a task are reported here, as
    // the plug-in reports them.
    void setCallback(RecordCallback callback);

    // Creates the task of `position` (replacing one that records another source) and
    // connects its start to onTaskStarted.
    void createTask(const RecordTaskSettings &settings);
    void configureAll(const QString &limitType, int limitSize, int limitTime);
    // Starts every task; true when all started (also when there are none).
    bool startAll();
    // Stops every task and returns once their files are closed (bounded wait, then kill).
    void stopAll();
    void removeTask(int position);
    void destroyAll();
    void updateUrl(int position, const QString &address);
    bool hasTask(int position) const;
    int taskCount() const;
    // Status of every task in ascending position (RecordTask::statusJson); any thread.
    QJsonArray statusJson() const;

signals:
    // An event for the event channel ("record/start").
    void message(QJsonObject message);

public slots:
    void onTaskStarted(int position);

private slots:
    void onTaskError(int position, QString error);

private:
    void stopTasks(const QList<RecordTask *> &tasks);

    mutable std::mutex m_settingsLock;
    QString m_toolFolder;
    QString m_recordingFolder{"D:/"};
    RecordCallback m_callback; // owner thread only

    mutable std::mutex m_tasksLock;
    QMap<int, RecordTask *> m_tasks; // owned
};
