// Process-wide log writer: the Qt message handler queues each message that passes the
// level filter, and one worker thread writes them as tab-separated records into files
// named after their start time ("log_yyyyMMdd_hhmmss.zzz.log") in the log folder.
//
// Threads: start(), stop() and onFileChanged() run on the thread that owns the object
// (the main thread). The message handler runs on any thread that logs. The worker thread
// is the only one that touches the log file between start() and stop().
// Locks: m_queueMutex guards m_queue and the worker's wake-up; m_fileNameMutex guards
// m_currentFileName. They are never held together, so there is no lock order. m_level,
// m_stopping and the echo flags are atomics read without a lock.
#pragma once

#include <QFile>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class QFileSystemWatcher;

class NXLogger : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultSizeLimitBytes = 0x400000; // 4 MiB
    static constexpr int kMaxSizeLimitBytes = 0xA00000;     // 10 MiB
    static constexpr std::size_t kBacklogLimit = 4096;      // whole backlog dropped at this size

    // The process-wide logger, created on first call and never destroyed.
    static NXLogger *instance();

    // Separate objects exist for tests; only one may be started at a time, because the
    // Qt message handler is process-wide.
    NXLogger();
    ~NXLogger() override;

    // Installs the message handler, reads the level from <folder>/settings.ini, watches
    // that file and starts the writer thread. The folder must exist; a size limit outside
    // 0..10 MiB becomes 4 MiB. Call once per object.
    void start(const QString &folder, int sizeLimitBytes);
    // Waits up to timeoutMs until every queued message is written; false on time-out or
    // when the worker is not running. Used before stop() so the last lines are kept.
    bool flush(int timeoutMs);
    // Ends the writer thread (messages still queued are not written) and closes the file.
    // The handler stays installed; later messages are dropped. Never call from the worker.
    void stop();

    // Also print kept messages of type warning and above (or every kept message when
    // `all`) on stderr, so a terminal or service manager sees problems.
    void setEchoToStderr(bool enabled, bool all);

    QString folder() const { return m_folder; }
    int sizeLimitBytes() const { return m_sizeLimitBytes; }
    int level() const { return m_level.load(); }
    // Path of the file being written, empty when none is open (worker thread's view).
    QString currentFileName() const;

private slots:
    void onFileChanged(const QString &path);
    void onDirectoryChanged(const QString &path);

private:
    struct Entry
    {
        QString text;
        int type = 0; // Qt message type number: debug 0, warning 1, critical 2, fatal 3, info 4
        qint64 timeMs = 0; // milliseconds since the epoch when handed to the handler
    };

    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &text);
    void enqueue(int type, const QString &text);
    void readLevel();
    void workerLoop();
    bool openNextFile();

    QFileSystemWatcher *m_watcher = nullptr;
    QFile m_file;
    QString m_folder;
    int m_sizeLimitBytes = kDefaultSizeLimitBytes;
    std::atomic<bool> m_stopping{true};
    std::atomic<bool> m_workerRunning{false};
    std::atomic<bool> m_writing{false}; // the worker holds an entry it has not written yet
    std::thread m_worker;

    std::atomic<int> m_level{0};
    std::atomic<bool> m_echo{false};
    std::atomic<bool> m_echoAll{false};
    std::mutex m_queueMutex;
    std::condition_variable m_queueSignal;
    std::deque<Entry> m_queue;
    mutable std::mutex m_fileNameMutex; // guards m_currentFileName only
    QString m_currentFileName;
};
