// The recorder plug-in (librecorder.so beside the executable): one run of the recording
// program per recorder item, each in its own process, so that a codec or disk failure
// never takes the application down.
//
// Thread: the interface is called from the application's record task thread, its main
// thread and the discovery thread; every call is carried out on the plug-in's own host
// thread, where the programs' processes live (and stay children of a thread that lives as
// long as they do). The callback is called from the host thread. The callback lock guards
// m_callback.
#pragma once

#include "record/RecorderInterface.h"

#include <QJsonArray>
#include <QObject>
#include <QThread>
#include <functional>
#include <mutex>

class VideoRecording;

class RecorderPlugin : public QObject, public RecorderInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID RecorderInterface_iid FILE "recorder.json")
    Q_INTERFACES(RecorderInterface)
public:
    RecorderPlugin();
    ~RecorderPlugin() override;

    void setCallback(RecordCallback callback) override;
    // start: {"transcode", "cfrmode", "items": [recorder items], "storepath"} and, optional,
    // "recorderProgram" (path of the recording program; default beside the executable).
    void startRecorder(const QJsonObject &start) override;
    void startItem(const QJsonObject &item) override;
    void stopItem(int position) override;
    void updateUrl(int position, const QString &address) override;
    void stopRecorder(const QString &which) override;

    // Status of every recording, as the coordinator gives it; any thread.
    Q_INVOKABLE QJsonArray recordingStatus() const;

private:
    // Runs `work` on the host thread and waits for it (directly when already there).
    void onHost(const std::function<void()> &work);
    void startOnHost(const QJsonObject &item, const QJsonObject &start);
    void report(int position, NX_RECORD_STATE state, int error);

    QThread m_thread;
    QObject m_host;                        // lives on m_thread: context of host work
    VideoRecording *m_recording = nullptr; // lives on m_thread
    mutable std::mutex m_callbackLock;
    RecordCallback m_callback;
};
