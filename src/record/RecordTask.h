// One run of the recording program for one window: launched with the window's source and
// first file, started with <start/>, split by size or time with <record_chop .../>, stopped
// with <exit/> and end of input. The program writes the file; this object follows its
// standard output (started, progress, split done, errors) and keeps a status snapshot.
//
// Thread: created, driven and destroyed on one thread with an event loop (the record task
// thread); the QProcess lives there. statusJson() may be called from any thread (the
// status lock guards the snapshot).
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <mutex>

struct RecordTaskSettings
{
    int position = 0;
    QString source;     // NDI source name
    QString address;    // source address hint, may be empty
    QString windowName; // first part of the file names
    QString dateFormat{"yyyyMMdd-HH.mm.ss"};
    QString outputFolder; // created when missing
    QString program;      // path of the recording program
    QString codec{"h264"};
    int cfr = 1; // 1: constant frame rate (a missing frame repeats the previous one)
    QString limitType{"size"};
    int limitSize = 1024; // MiB
    int limitTime = 5;    // minutes
};

class RecordTask : public QObject
{
    Q_OBJECT
public:
    // Bounded wait for a stopping program to close its file before it is killed.
    static constexpr int StopWaitMs = 10000;

    explicit RecordTask(const RecordTaskSettings &settings, QObject *parent = nullptr);
    // Stops the program (end of input, bounded wait) and kills it if it is still running.
    ~RecordTask() override;

    int position() const { return m_settings.position; }
    QString source() const { return m_settings.source; }
    void configure(const QString &limitType, int limitSize, int limitTime);
    void setAddress(const QString &address) { m_settings.address = address; }
    void setOutputFolder(const QString &folder) { m_settings.outputFolder = folder; }

    // Creates the output folder and starts the program waiting for <start/>; true when it
    // runs (also when it already ran).
    bool launch();
    // launch(), then <start/>; false when the program cannot be started or told to.
    bool start();
    // Closes the current file and goes on in the next one.
    bool chop();
    // Asks the program to finish (<exit/>, end of input); returns at once.
    void requestStop();
    // Waits until the program ended, at most `waitMs`; then kills it. True when it ended
    // by itself.
    bool waitStopped(int waitMs = StopWaitMs);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // {"position", "source", "state": "idle|starting|recording|stopped|failed", "file",
    //  "files", "elapsed" (s), "frames", "dropped", "bytes", "error"}
    QJsonObject statusJson() const;

signals:
    void readyStart(int position);
    // `error`: the program's error code ("disk_full", "disk_too_slow", "cannot_write",
    // "no_source", ...) or "crashed" when it ended without being asked.
    void readyError(int position, QString error);

public slots:
    void onReadData();
    void onReadError();

private slots:
    void onFinished(int exitCode, QProcess::ExitStatus status);

private:
    void handleLine(const QByteArray &line);
    void checkSplit();
    QString nextFilePath();
    bool writeCommand(const QByteArray &command);
    void setState(const QString &state, const QString &error = {});

    RecordTaskSettings m_settings;
    QProcess m_process;
    QByteArray m_stdoutBuffer;
    QByteArray m_stderrBuffer;
    QString m_lastErrorLine;
    QString m_lastErrorCode; // of the last record_error element
    QString m_currentFile;
    int m_chopCounter = 1;
    QElapsedTimer m_fileClock; // since the current file began (time split)
    bool m_started = false;    // <start/> sent, record_started not seen yet
    bool m_stopping = false;
    bool m_errorReported = false;

    // Status snapshot, read from other threads.
    mutable std::mutex m_statusLock;
    QString m_state{"idle"};
    QString m_statusFile;
    QString m_error;
    int m_files = 0;
    qint64 m_frames = 0;
    qint64 m_dropped = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_recordClock; // since record_started
    qint64 m_elapsedMs = 0;      // frozen when the recording ends
};
