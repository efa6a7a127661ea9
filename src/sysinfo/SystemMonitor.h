// Load of this machine and state of the recording disk.
//
// - CPU usage (from /proc/stat) and temperature (TemperatureSensor) are sampled once a
//   second on a thread of its own between start() and stop().
// - Memory is read from /proc/meminfo on demand.
// - GPU load: startGpuProbe() runs a small shell script (written once into the data
//   folder's "temp" folder, "gpu.sh") that prints "Total GPU Engine Usage: N%".
// - Disk: setDiskPath() settles the mount point that holds the recording folder and runs
//   a live write monitor for its block device (script "DiskMonitor.sh" in the same
//   folder, one line "name,KiB/s,percentFree" per second); diskCapacity() answers from
//   statvfs; requestDiskTest()/stopDiskTest() run res/bin/disk/disk-speed-test and report
//   its progress through diskUpdate(). Network file systems get no monitor and a larger
//   test block.
//
// Threads: the object lives on the main thread; everything but the CPU thread runs
// there (slots, posted events, processes). The CPU thread writes m_cpuUsage and
// m_temperature (atomics); m_threadLock guards m_running and wakes the thread for stop().
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class SystemMonitor : public QObject
{
    Q_OBJECT
public:
    // Posted event types that start and stop the speed test.
    static constexpr int kStopDiskTestEvent = 1001;
    static constexpr int kStartDiskTestEvent = 1002;
    // Write block of the speed test in bytes: local disks and network file systems.
    static constexpr int kLocalTestBlockBytes = 4096;
    static constexpr int kRemoteTestBlockBytes = 52428800;
    // Environment variable that shortens the speed test (milliseconds; default 60000).
    static constexpr const char *kTestTimeVariable = "DESK_RECORDER_DISK_TEST_MS";

    explicit SystemMonitor(QObject *parent = nullptr);
    ~SystemMonitor() override;

    // Stores the folders (resourceFolder: the application's "res"; dataFolder: where
    // "temp" is made), starts the CPU thread when it does not run, restarts the monitor.
    void start(const QString &resourceFolder, const QString &dataFolder);
    // Joins the CPU thread and ends the monitor, GPU and speed test programs.
    void stop();

    double cpuUsage() const { return m_cpuUsage.load(); }       // percent, whole number
    double gpuUsage() const { return m_gpuUsage; }              // percent, whole number
    double temperature() const { return m_temperature.load(); } // degrees Celsius, 0: none
    // Total and used (total - available) memory in MiB; false (outputs untouched) when
    // /proc/meminfo cannot be read.
    bool memory(double &totalMiB, double &usedMiB) const;
    // Starts the GPU script unless it runs; false when it was still running.
    bool startGpuProbe();

    // Takes any path of the recording folder ("file://" URLs too) and keeps the mount
    // point that holds it; the monitor restarts only when the mount point changes. An
    // empty path stops the monitor.
    void setDiskPath(const QString &path);
    QString diskPath() const { return m_diskPath; }     // mount point, "" when none
    QString testFolder() const { return m_testFolder; } // where the speed test writes
    bool isRemoteDisk() const { return m_remoteDisk; }
    // The capacity reply of the disk holding `path` ({"result":"ok","data":[{name, use,
    // total, speed}]} in MiB and Mbit/s, or the error reply); `ok` says which, `freeMiB`
    // receives the space available for writing on success.
    QJsonObject diskCapacity(const QString &path, double &freeMiB, bool &ok) const;
    float writeSpeed() const { return m_writeSpeed; }        // live write rate, Mbit/s
    double diskTestSpeed() const { return m_diskTestSpeed; } // last test result, MB/s

    // Posts the start of a speed test on the disk; false (nothing starts) when the
    // resource folder is unset or the folder is gone. An empty disk path means the
    // current directory.
    bool requestDiskTest();
    // Posts the stop of the speed test; output that arrives later is ignored.
    void stopDiskTest();

    // Process ids of the helpers (0 when not running), for diagnostics and tests.
    qint64 monitorProcessId() const { return m_monitorProcess.processId(); }
    qint64 diskTestProcessId() const { return m_diskTestProcess.processId(); }

signals:
    // A "diskMaxSpeed/update" event ready for the event channel.
    void diskUpdate(QJsonObject jsonObject);

protected:
    void customEvent(QEvent *event) override;

private slots:
    void onReadGpuData();
    void onReadDiskData();
    void onProcessDiskData();

private:
    void cpuLoop();
    void restartMonitor();
    void startDiskTest();
    void haltDiskTest();
    QString tempFolder() const;
    // Writes `text` to `fileName` in the temp folder unless the file exists; returns its
    // path, empty when it cannot be written.
    QString ensureScript(const QString &fileName, const QByteArray &text) const;
    static void endProcess(QProcess &process);

    // CPU thread.
    std::atomic<double> m_cpuUsage{0.0};
    std::atomic<double> m_temperature{0.0};
    std::mutex m_threadLock;
    std::condition_variable m_threadWake;
    bool m_running = false; // guarded by m_threadLock
    std::thread m_cpuThread;

    // Main thread only.
    QString m_resourceFolder;
    QString m_dataFolder;
    QProcess m_gpuProcess;
    double m_gpuUsage = 0.0;

    QProcess m_diskTestProcess;
    QByteArray m_diskTestBuffer; // incomplete last line of the test's output
    double m_diskTestSpeed = 0.0;
    QString m_diskPath;   // mount point holding the recording folder
    QString m_testFolder; // deepest existing folder of the recording path
    bool m_remoteDisk = false;
    quint32 m_deviceMajor = 0;
    quint32 m_deviceMinor = 0;
    QProcess m_monitorProcess;
    QByteArray m_monitorBuffer; // incomplete last line of the monitor's output
    float m_writeSpeed = 0.0f;
    bool m_testStopped = false;
};
