#include "app/NXLogger.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTextStream>

#include <chrono>
#include <cstdio>

namespace {

// The logger whose handler is installed; the handler is process-wide.
std::atomic<NXLogger *> g_active{nullptr};

constexpr auto kIdleWait = std::chrono::milliseconds(100);
const char *const kFilePattern = "log_yyyyMMdd_hhmmss.zzz.log";
const char *const kRecordTimePattern = "yyyy.MM.dd_hh.mm.ss.zzz";

QString settingsPath(const QString &folder)
{
    return folder + QStringLiteral("settings.ini");
}

// "level" of the [settings] group of an INI file; 0 when the file, group or key is missing
// or the value is not an unsigned number.
uint readLevelFromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    bool inGroup = false;
    uint level = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[settings]";
            continue;
        }
        if (!inGroup || line.startsWith(';') || line.startsWith('#'))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0 || line.left(eq).trimmed() != "level")
            continue;
        bool ok = false;
        const uint value = line.mid(eq + 1).trimmed().toUInt(&ok);
        level = ok ? value : 0;
    }
    return level;
}

} // namespace

NXLogger *NXLogger::instance()
{
    static NXLogger *logger = new NXLogger; // never destroyed: messages may come until exit
    return logger;
}

NXLogger::NXLogger() = default;

NXLogger::~NXLogger()
{
    if (m_worker.joinable())
        stop();
    NXLogger *self = this;
    g_active.compare_exchange_strong(self, nullptr);
}

void NXLogger::start(const QString &folder, int sizeLimitBytes)
{
    g_active.store(this);
    qInstallMessageHandler(&NXLogger::messageHandler);

    m_folder = folder;
    if (!m_folder.endsWith(QLatin1Char('/')))
        m_folder += QLatin1Char('/');

    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        readLevel();
        // The file itself is watched for edits; the folder too, because an editor or a
        // tool that replaces the file (write + rename) ends the watch on the old inode.
        m_watcher->addPath(settingsPath(m_folder));
        m_watcher->addPath(m_folder);
        connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &NXLogger::onFileChanged);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this,
                &NXLogger::onDirectoryChanged);
    }

    m_sizeLimitBytes = (sizeLimitBytes >= 0 && sizeLimitBytes <= kMaxSizeLimitBytes)
                           ? sizeLimitBytes
                           : kDefaultSizeLimitBytes;

    m_stopping.store(false);
    m_workerRunning.store(true);
    m_worker = std::thread([this] { workerLoop(); });
}

bool NXLogger::flush(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!m_workerRunning.load())
            return false;
        {
            std::lock_guard lock(m_queueMutex);
            if (m_queue.empty() && !m_writing.load())
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void NXLogger::stop()
{
    {
        std::lock_guard lock(m_queueMutex);
        m_stopping.store(true);
        m_queueSignal.notify_all();
    }
    if (m_worker.joinable())
        m_worker.join();
    if (m_watcher) {
        m_watcher->deleteLater();
        m_watcher = nullptr;
    }
    if (m_file.isOpen())
        m_file.close();
    std::lock_guard lock(m_fileNameMutex);
    m_currentFileName.clear();
}

void NXLogger::setEchoToStderr(bool enabled, bool all)
{
    m_echo.store(enabled);
    m_echoAll.store(all);
}

QString NXLogger::currentFileName() const
{
    std::lock_guard lock(m_fileNameMutex);
    return m_currentFileName;
}

void NXLogger::onFileChanged(const QString &path)
{
    readLevel();
    // A replaced file drops out of the watch list; watch the new one.
    if (m_watcher && QFileInfo::exists(path) && !m_watcher->files().contains(path))
        m_watcher->addPath(path);
}

void NXLogger::onDirectoryChanged(const QString &)
{
    if (!m_watcher)
        return;
    const QString path = settingsPath(m_folder);
    if (QFileInfo::exists(path) && !m_watcher->files().contains(path)) {
        m_watcher->addPath(path);
        readLevel();
    }
}

void NXLogger::readLevel()
{
    // Read directly rather than through QSettings: its process-wide cache keeps the old
    // content when an edit leaves size and (coarse) modification time unchanged.
    m_level.store(static_cast<int>(readLevelFromFile(settingsPath(m_folder))));
}

void NXLogger::messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    NXLogger *logger = g_active.load();
    if (!logger)
        return;
    logger->enqueue(static_cast<int>(type), text);
}

void NXLogger::enqueue(int type, const QString &text)
{
    if (type < m_level.load())
        return;
    if (m_echo.load() &&
        (m_echoAll.load() || type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg))
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    if (m_stopping.load())
        return; // nobody would ever write it
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::lock_guard lock(m_queueMutex);
    m_queue.push_back(Entry{text, type, now});
    m_queueSignal.notify_one();
}

bool NXLogger::openNextFile()
{
    // Names carry the time to the millisecond; two files opened within one millisecond
    // (tiny size limits) would share a name, so the later one takes the next free one
    // instead of truncating the earlier file.
    QDateTime stamp = QDateTime::currentDateTime();
    QString name = m_folder + stamp.toString(QLatin1String(kFilePattern));
    for (int i = 0; i < 1000 && QFileInfo::exists(name); ++i) {
        stamp = stamp.addMSecs(1);
        name = m_folder + stamp.toString(QLatin1String(kFilePattern));
    }
    m_file.setFileName(name);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    std::lock_guard lock(m_fileNameMutex);
    m_currentFileName = name;
    return true;
}

void NXLogger::workerLoop()
{
    struct Running
    {
        std::atomic<bool> &flag;
        ~Running() { flag.store(false); }
    } running{m_workerRunning};
    for (;;) {
        Entry entry;
        {
            std::unique_lock lock(m_queueMutex);
            if (m_queue.empty())
                m_queueSignal.wait_for(lock, kIdleWait);
            if (m_stopping.load())
                return;
            if (m_queue.size() >= kBacklogLimit) {
                m_queue.clear();
                continue;
            }
            if (m_queue.empty())
                continue;
            entry = std::move(m_queue.front());
            m_queue.pop_front();
            m_writing.store(true);
        }
        struct Written
        {
            std::atomic<bool> &flag;
            ~Written() { flag.store(false); }
        } written{m_writing};

        if (!m_file.isOpen() && !openNextFile()) {
            qWarning("open logfile failed.");
            return;
        }
        {
            QTextStream out(&m_file);
            out << QDateTime::fromMSecsSinceEpoch(entry.timeMs)
                       .toString(QLatin1String(kRecordTimePattern))
                << '\t' << "LEVEL_" << entry.type << '\t' << entry.text << "\r\n";
            out.flush();
        }
        if (m_file.size() >= m_sizeLimitBytes) {
            m_file.close();
            std::lock_guard lock(m_fileNameMutex);
            m_currentFileName.clear();
        }
    }
}
