#include "SystemMonitor.h"

#include "MountTable.h"
#include "ProcParsers.h"
#include "TemperatureSensor.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kDefaultTestTimeMs = 60000;
constexpr double kBytesPerMiB = 1048576.0;

// Prints the load of whatever GPU the machine has as "Total GPU Engine Usage: N%":
// NVIDIA's tool when present, else the busy percentage of DRM devices; 0 without a GPU.
const QByteArray kGpuScript = R"(#!/bin/sh
# GPU load for desk-recorder. Output: one line "Total GPU Engine Usage: N%".
total=""
if command -v nvidia-smi >/dev/null 2>&1; then
    total=$(nvidia-smi --query-gpu=utilization.gpu --format=csv,noheader,nounits 2>/dev/null |
        awk '{ s += $1 } END { if (NR > 0) printf "%d", s }')
fi
if [ -z "$total" ]; then
    for f in /sys/class/drm/card*/device/gpu_busy_percent; do
        [ -r "$f" ] || continue
        v=$(cat "$f" 2>/dev/null) || continue
        case "$v" in ''|*[!0-9]*) continue ;; esac
        total=$(( ${total:-0} + v ))
    done
fi
echo "Total GPU Engine Usage: ${total:-0}%"
)";

// Live write rate of one block device, one line per interval:
//   device name,KiB written per second,percent of the mount point that is free
// Arguments: device major, device minor, mount point, interval in seconds.
const QByteArray kMonitorScript = R"(#!/bin/sh
# Live write monitor for desk-recorder. Output per interval: name,KiB/s,percentFree
major=$1; minor=$2; mnt=$3; interval=${4:-1}
[ -n "$major" ] && [ -n "$minor" ] && [ -n "$mnt" ] || exit 2
sectors() {
    while read -r ma mi name r1 r2 r3 r4 w1 w2 ws rest; do
        if [ "$ma" = "$major" ] && [ "$mi" = "$minor" ]; then
            echo "$name $ws"
            return
        fi
    done < /proc/diskstats
    echo "unknown 0"
}
set -- $(sectors)
prev=$2
while :; do
    sleep "$interval"
    set -- $(sectors)
    name=$1; now=$2
    kib=$(( (now - prev) / 2 / interval ))
    [ "$kib" -ge 0 ] || kib=0
    prev=$now
    set -- $(stat -f -c '%a %b' "$mnt" 2>/dev/null || echo "0 0")
    if [ "${2:-0}" -gt 0 ]; then pct=$(( $1 * 100 / $2 )); else pct=0; fi
    echo "$name,$kib,$pct" || exit 0
done
)";

std::optional<sysinfo::CpuTimes> readCpuTimes()
{
    QFile file(QStringLiteral("/proc/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return sysinfo::parseCpuTimes(file.readAll());
}

QJsonObject diskUpdateEvent(double speed, int percent)
{
    return {{QStringLiteral("name"), QStringLiteral("diskMaxSpeed/update")},
            {QStringLiteral("result"), QStringLiteral("ok")},
            {QStringLiteral("data"), QJsonObject{{QStringLiteral("diskMaxSpeed"), speed},
                                                 {QStringLiteral("diskTestPercent"), percent}}}};
}

// Splits off the complete lines of `buffer`, leaving an unfinished last line in it.
QStringList takeLines(QByteArray &buffer)
{
    const int end = buffer.lastIndexOf('\n');
    if (end < 0)
        return {};
    const QString text = QString::fromLocal8Bit(buffer.left(end + 1));
    buffer.remove(0, end + 1);
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    return text.split(lineBreaks, Qt::SkipEmptyParts);
}

} // namespace

SystemMonitor::SystemMonitor(QObject *parent) : QObject(parent)
{
    connect(&m_gpuProcess, &QProcess::readyReadStandardOutput, this, &SystemMonitor::onReadGpuData);
    connect(&m_diskTestProcess, &QProcess::readyReadStandardOutput, this,
            &SystemMonitor::onReadDiskData);
    connect(&m_monitorProcess, &QProcess::readyReadStandardOutput, this,
            &SystemMonitor::onProcessDiskData);
    connect(&m_diskTestProcess, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                const QByteArray err = m_diskTestProcess.readAllStandardError().trimmed();
                if (status == QProcess::NormalExit && exitCode != 0)
                    qWarning() << "disk speed test failed with exit code" << exitCode << ":" << err;
            });
    connect(&m_monitorProcess, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                if (status == QProcess::NormalExit)
                    qWarning() << "live write monitor of" << m_diskPath << "ended with code"
                               << exitCode << m_monitorProcess.readAllStandardError().trimmed();
            });
}

SystemMonitor::~SystemMonitor()
{
    stop();
    qDebug() << "~SystemMonitor";
}

void SystemMonitor::start(const QString &resourceFolder, const QString &dataFolder)
{
    m_resourceFolder = resourceFolder;
    m_dataFolder = dataFolder;
    // The helpers must not outlive the event loop (the owner may be destroyed at exit).
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &SystemMonitor::stop,
                Qt::UniqueConnection);
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        if (!m_running) {
            if (m_cpuThread.joinable())
                m_cpuThread.join();
            m_running = true;
            m_cpuThread = std::thread(&SystemMonitor::cpuLoop, this);
        }
    }
    restartMonitor();
}

void SystemMonitor::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_running = false;
    }
    m_threadWake.notify_all();
    if (m_cpuThread.joinable())
        m_cpuThread.join();
    m_testStopped = true;
    endProcess(m_monitorProcess);
    endProcess(m_gpuProcess);
    endProcess(m_diskTestProcess);
}

void SystemMonitor::endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(1000))
        process.kill();
    process.close();
}

void SystemMonitor::cpuLoop()
{
    std::optional<sysinfo::CpuTimes> before = readCpuTimes();
    std::unique_lock<std::mutex> lock(m_threadLock);
    while (m_running) {
        m_threadWake.wait_for(lock, std::chrono::milliseconds(1000), [this] { return !m_running; });
        if (!m_running)
            break;
        lock.unlock();
        const std::optional<sysinfo::CpuTimes> after = readCpuTimes();
        if (before && after)
            m_cpuUsage.store(sysinfo::cpuUsagePercent(*before, *after));
        before = after;
        m_temperature.store(TemperatureSensor::hottestCelsius());
        lock.lock();
    }
}

bool SystemMonitor::memory(double &totalMiB, double &usedMiB) const
{
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return sysinfo::parseMemInfo(file.readAll(), totalMiB, usedMiB);
}

QString SystemMonitor::tempFolder() const
{
    return m_dataFolder + QStringLiteral("/temp");
}

QString SystemMonitor::ensureScript(const QString &fileName, const QByteArray &text) const
{
    if (m_dataFolder.isEmpty())
        return {};
    const QString path = tempFolder() + '/' + fileName;
    if (QFileInfo::exists(path))
        return path;
    if (!QDir().mkpath(tempFolder())) {
        qWarning() << "cannot create the folder" << tempFolder();
        return {};
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        qWarning() << "cannot write" << path << file.errorString();
        return {};
    }
    return path;
}

bool SystemMonitor::startGpuProbe()
{
    if (m_gpuProcess.state() != QProcess::NotRunning)
        return false;
    const QString script = ensureScript(QStringLiteral("gpu.sh"), kGpuScript);
    if (script.isEmpty())
        return false;
    m_gpuProcess.start(QStringLiteral("/bin/sh"), {script}, QIODevice::ReadWrite);
    if (!m_gpuProcess.waitForStarted(kStartTimeoutMs))
        qWarning() << "GPU probe did not start:" << m_gpuProcess.errorString();
    return true;
}

void SystemMonitor::onReadGpuData()
{
    const QString text = QString::fromLocal8Bit(m_gpuProcess.readAllStandardOutput());
    if (text.isEmpty())
        return;
    if (const std::optional<int> usage = sysinfo::parseGpuOutput(text))
        m_gpuUsage = *usage;
}

void SystemMonitor::setDiskPath(const QString &path)
{
    QString local = path;
    if (local.startsWith(QLatin1String("file://"))) {
        const QUrl url(local);
        local = url.isValid() ? url.toLocalFile() : local.mid(7);
    }
    if (!local.isEmpty() && QDir::isRelativePath(local))
        local = QDir::current().absoluteFilePath(local);

    QString mountPoint;
    QString fsType;
    bool remote = false;
    quint32 major = 0;
    quint32 minor = 0;
    if (!local.isEmpty()) {
        const MountTable mounts = MountTable::read();
        if (const MountTable::Entry *e = mounts.find(local)) {
            mountPoint = e->mountPoint;
            fsType = e->fsType;
            remote = MountTable::isNetworkFileSystem(e->fsType);
            major = e->major;
            minor = e->minor;
            // Some file systems (btrfs) report an anonymous device: use the source's.
            struct stat st = {};
            if (major == 0 && e->source.startsWith(QLatin1String("/dev/")) &&
                stat(QFile::encodeName(e->source).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
                major = ::major(st.st_rdev);
                minor = ::minor(st.st_rdev);
            }
        } else {
            qWarning() << "no mounted file system holds" << local;
        }
    }
    m_testFolder = MountTable::existingAncestor(local);
    if (mountPoint == m_diskPath)
        return;
    m_diskPath = mountPoint;
    m_remoteDisk = remote;
    m_deviceMajor = major;
    m_deviceMinor = minor;
    qInfo().noquote() << "recording disk:" << (mountPoint.isEmpty() ? "none" : mountPoint) << fsType
                      << (remote ? "(network file system)" : "");
    restartMonitor();
}

void SystemMonitor::restartMonitor()
{
    if (m_monitorProcess.state() != QProcess::NotRunning) {
        m_monitorProcess.closeWriteChannel();
        endProcess(m_monitorProcess);
        qInfo() << "after close the monitor process state :" << m_monitorProcess.state();
    }
    m_monitorBuffer.clear();
    if (m_diskPath.isEmpty() || m_dataFolder.isEmpty())
        return;
    if (m_remoteDisk) {
        qInfo().noquote() << m_diskPath << "is a network file system: no live write monitor";
        return;
    }
    if (m_deviceMajor == 0) {
        qInfo().noquote() << m_diskPath << "has no block device: no live write monitor";
        return;
    }
    const QString script = ensureScript(QStringLiteral("DiskMonitor.sh"), kMonitorScript);
    if (script.isEmpty())
        return;
    m_monitorProcess.start(QStringLiteral("/bin/sh"),
                           {script, QString::number(m_deviceMajor), QString::number(m_deviceMinor),
                            m_diskPath, QStringLiteral("1")},
                           QIODevice::ReadWrite);
    if (!m_monitorProcess.waitForStarted(kStartTimeoutMs))
        qWarning() << "live write monitor did not start:" << m_monitorProcess.errorString();
}

void SystemMonitor::onProcessDiskData()
{
    m_monitorBuffer += m_monitorProcess.readAllStandardOutput();
    const QStringList lines = takeLines(m_monitorBuffer);
    if (!lines.isEmpty()) {
        if (const std::optional<double> mbits = sysinfo::parseMonitorLine(lines.last()))
            m_writeSpeed = float(*mbits);
    }
}

QJsonObject SystemMonitor::diskCapacity(const QString &path, double &freeMiB, bool &ok) const
{
    struct statvfs fs = {};
    if (path.isEmpty() || statvfs(QFile::encodeName(path).constData(), &fs) != 0) {
        qWarning().noquote() << "cannot read the capacity of" << path << ":"
                             << (path.isEmpty() ? "no path" : std::strerror(errno));
        ok = false;
        return {{QStringLiteral("result"), QStringLiteral("error")},
                {QStringLiteral("msg"), QStringLiteral("Get disk capacity failed!")}};
    }
    const double totalMiB = double(fs.f_blocks) * double(fs.f_frsize) / kBytesPerMiB;
    const double availableMiB = double(fs.f_bavail) * double(fs.f_frsize) / kBytesPerMiB;
    ok = true;
    freeMiB = availableMiB;
    const QJsonObject disk{{QStringLiteral("name"), path},
                           {QStringLiteral("use"), totalMiB - availableMiB},
                           {QStringLiteral("total"), totalMiB},
                           {QStringLiteral("speed"), double(m_writeSpeed)}};
    return {{QStringLiteral("result"), QStringLiteral("ok")},
            {QStringLiteral("data"), QJsonArray{disk}}};
}

bool SystemMonitor::requestDiskTest()
{
    if (m_resourceFolder.isEmpty())
        return false;
    if (!m_diskPath.isEmpty() && !QDir(m_testFolder).exists())
        return false;
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kStartDiskTestEvent)));
    return true;
}

void SystemMonitor::stopDiskTest()
{
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kStopDiskTestEvent)));
}

void SystemMonitor::customEvent(QEvent *event)
{
    if (event->type() == QEvent::Type(kStartDiskTestEvent))
        startDiskTest();
    else if (event->type() == QEvent::Type(kStopDiskTestEvent))
        haltDiskTest();
    else
        QObject::customEvent(event);
}

void SystemMonitor::startDiskTest()
{
    const QString folder = m_diskPath.isEmpty() ? QDir::currentPath() : m_testFolder;
    const int envTimeMs = qEnvironmentVariableIntValue(kTestTimeVariable);
    const int timeMs = envTimeMs > 0 ? envTimeMs : kDefaultTestTimeMs;
    const int blockBytes = m_remoteDisk ? kRemoteTestBlockBytes : kLocalTestBlockBytes;
    const QStringList args{QStringLiteral("-path"),   folder,
                           QStringLiteral("-bs"),     QString::number(blockBytes),
                           QStringLiteral("-time"),   QString::number(timeMs),
                           QStringLiteral("-thread"), QStringLiteral("1"),
                           QStringLiteral("-span"),   QStringLiteral("10000")};
    const QString program = m_resourceFolder + QStringLiteral("/bin/disk/disk-speed-test");
    qInfo() << "start disk process cmd :" << args
            << " diskType =" << (m_remoteDisk ? "network" : "local")
            << "current path :" << m_resourceFolder << " m_diskPath :" << m_diskPath;
    if (m_diskTestProcess.state() != QProcess::NotRunning) {
        qInfo() << "a disk speed test is already running; it goes on";
        m_testStopped = false;
        return;
    }
    m_diskTestBuffer.clear();
    m_diskTestProcess.closeWriteChannel();
    m_diskTestProcess.start(program, args, QIODevice::ReadWrite);
    if (!m_diskTestProcess.waitForStarted(kStartTimeoutMs))
        qWarning() << "disk speed test did not start:" << program
                   << m_diskTestProcess.errorString();
    m_testStopped = false;
}

void SystemMonitor::haltDiskTest()
{
    m_diskTestProcess.closeWriteChannel();
    m_diskTestProcess.close();
    m_diskTestProcess.kill();
    m_testStopped = true;
}

void SystemMonitor::onReadDiskData()
{
    if (m_testStopped) {
        m_diskTestProcess.readAllStandardOutput();
        return;
    }
    m_diskTestBuffer += m_diskTestProcess.readAllStandardOutput();
    const QStringList lines = takeLines(m_diskTestBuffer);
    if (lines.isEmpty())
        return;
    qDebug() << "#1 get disk data :" << lines << ", msg count =" << lines.size();
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        int percent = 0;
        bool report = false;
        if (const std::optional<int> p = sysinfo::parseTestPercent(line)) {
            percent = *p;
            if (percent == 100)
                continue; // only the result line completes a test
            report = true;
        }
        if (const std::optional<double> speed = sysinfo::parseTestResult(line)) {
            m_diskTestSpeed = *speed;
            qInfo() << "speed :" << m_diskTestSpeed;
            m_diskTestProcess.closeWriteChannel();
            m_diskTestProcess.kill();
            percent = 100;
            report = true;
        }
        if (report)
            emit diskUpdate(diskUpdateEvent(m_diskTestSpeed, percent));
    }
}
