#include "record/RecordTask.h"

#include "record/RecordNaming.h"
#include "record/RecorderProtocol.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 MaxLineBytes = 64 * 1024; // a longer "line" is dropped, not buffered forever
} // namespace

RecordTask::RecordTask(const RecordTaskSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &RecordTask::onReadData);
    connect(&m_process, &QProcess::readyReadStandardError, this, &RecordTask::onReadError);
    connect(&m_process, &QProcess::finished, this, &RecordTask::onFinished);
    // The program also ends with its parent by itself; this covers a program that forgets.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

RecordTask::~RecordTask()
{
    if (isRunning()) {
        requestStop();
        waitStopped();
    }
    disconnect(&m_process, nullptr, this, nullptr);
}

void RecordTask::configure(const QString &limitType, int limitSize, int limitTime)
{
    m_settings.limitType = limitType;
    m_settings.limitSize = limitSize;
    m_settings.limitTime = limitTime;
}

QString RecordTask::nextFilePath()
{
    return RecordNaming::filePath(m_settings.outputFolder, m_settings.windowName,
                                  m_settings.dateFormat, QDateTime::currentDateTime(),
                                  m_chopCounter);
}

bool RecordTask::launch()
{
    if (isRunning())
        return true;
    if (!QDir().mkpath(m_settings.outputFolder)) {
        qWarning().noquote() << "recording of window" << m_settings.position
                             << ": cannot create the folder" << m_settings.outputFolder;
        setState("failed", "cannot_write");
        return false;
    }
    m_chopCounter = 1;
    m_currentFile = nextFilePath();
    QStringList args{"-i", m_settings.source};
    if (!m_settings.address.isEmpty())
        args << "-u" << m_settings.address;
    // -timeout 0: a source that is not up yet is waited for, as one that vanishes is.
    args << "-o" << m_currentFile << "-nothumbnail"
         << "-noautostart"
         << "-timeout"
         << "0"
         << "-codec" << m_settings.codec << "-cfr" << QString::number(m_settings.cfr);
    m_stopping = false;
    m_errorReported = false;
    m_lastErrorCode.clear();
    m_started = false;
    m_stdoutBuffer.clear();
    m_stderrBuffer.clear();
    {
        std::lock_guard lock(m_statusLock);
        m_state = QStringLiteral("starting");
        m_statusFile = m_currentFile;
        m_error.clear();
        m_files = 1;
        m_frames = m_dropped = m_bytes = m_elapsedMs = 0;
        m_recordClock.invalidate();
    }
    m_process.start(m_settings.program, args, QIODevice::ReadWrite);
    if (!m_process.waitForStarted(1000)) {
        qWarning().noquote() << "recording of window" << m_settings.position << ": cannot start"
                             << m_settings.program << "-" << m_process.errorString();
        setState("failed", "cannot_start");
        return false;
    }
    qInfo().noquote() << "recording of window" << m_settings.position << "from" << m_settings.source
                      << "into" << m_currentFile << "( pid" << m_process.processId() << ")";
    return true;
}

bool RecordTask::start()
{
    if (!launch())
        return false;
    if (!writeCommand("<start/>\n"))
        return false;
    m_started = true;
    m_fileClock.start();
    return true;
}

bool RecordTask::writeCommand(const QByteArray &command)
{
    if (!isRunning())
        return false;
    const qint64 written = m_process.write(command);
    m_process.waitForBytesWritten(1000);
    return written == command.size();
}

bool RecordTask::chop()
{
    ++m_chopCounter;
    const QString path = nextFilePath();
    if (!writeCommand(RecorderProtocol::chopCommand(path))) {
        --m_chopCounter;
        return false;
    }
    m_currentFile = path;
    m_fileClock.start();
    return true;
}

void RecordTask::requestStop()
{
    m_started = false;
    if (!isRunning())
        return;
    m_stopping = true;
    writeCommand("<exit/>\n");
    m_process.closeWriteChannel();
}

bool RecordTask::waitStopped(int waitMs)
{
    if (!isRunning())
        return true;
    if (m_process.waitForFinished(waitMs))
        return true;
    qWarning().noquote() << "recording of window" << m_settings.position << "did not end within"
                         << waitMs << "ms; killing pid" << m_process.processId();
    m_process.kill();
    m_process.waitForFinished(2000);
    return false;
}

void RecordTask::onReadData()
{
    m_stdoutBuffer += m_process.readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_stdoutBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_stdoutBuffer.left(newline);
        m_stdoutBuffer.remove(0, newline + 1);
        handleLine(line);
    }
    if (m_stdoutBuffer.size() > MaxLineBytes)
        m_stdoutBuffer.clear();
    checkSplit();
}

void RecordTask::onReadError()
{
    static const QRegularExpression progress(QStringLiteral("\\[\\d+:\\d+:\\d+.\\d+\\].*"));
    m_stderrBuffer += m_process.readAllStandardError();
    qsizetype newline;
    while ((newline = m_stderrBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_stderrBuffer.left(newline)).trimmed();
        m_stderrBuffer.remove(0, newline + 1);
        if (!line.isEmpty())
            m_lastErrorLine = line;
        if (!line.isEmpty() && !progress.match(line).hasMatch())
            qDebug().noquote() << "recorder of window" << m_settings.position << ":" << line;
    }
    if (m_stderrBuffer.size() > MaxLineBytes)
        m_stderrBuffer.clear();
}

void RecordTask::handleLine(const QByteArray &line)
{
    const RecorderProtocol::Element element = RecorderProtocol::parseLine(line);
    if (element.name == QLatin1String("record_started")) {
        {
            std::lock_guard lock(m_statusLock);
            m_state = QStringLiteral("recording");
            if (!element.value("filename").isEmpty())
                m_statusFile = element.value("filename");
            m_recordClock.start();
        }
        if (m_started) {
            m_started = false;
            emit readyStart(m_settings.position);
        }
    } else if (element.name == QLatin1String("recording")) {
        std::lock_guard lock(m_statusLock);
        m_frames = element.number("no_frames");
        m_dropped = element.number("dropped_frames");
        m_bytes = element.number("bytes");
    } else if (element.name == QLatin1String("record_chop_done")) {
        std::lock_guard lock(m_statusLock);
        m_statusFile = element.value("filename");
        ++m_files;
    } else if (element.name == QLatin1String("record_stopped")) {
        std::lock_guard lock(m_statusLock);
        if (element.attributes.contains("no_frames"))
            m_frames = element.number("no_frames");
    } else if (element.name == QLatin1String("record_error")) {
        const QString code = element.value("code");
        qWarning().noquote() << "recording of window" << m_settings.position << "error" << code
                             << ":" << element.value("error");
        m_lastErrorCode = code;
        // A full or too slow disk ends the recording now; other errors (a refused chop, a
        // bad command) leave it going, and end it only when the program then exits.
        if (m_stopping ||
            (code != QLatin1String("disk_full") && code != QLatin1String("disk_too_slow")))
            return;
        setState("failed", code);
        m_errorReported = true;
        emit readyError(m_settings.position, code);
    }
}

void RecordTask::checkSplit()
{
    if (!m_fileClock.isValid() || m_stopping)
        return;
    if (m_settings.limitType == QLatin1String("time")) {
        if (m_settings.limitTime > 0 &&
            m_fileClock.elapsed() >= qint64(m_settings.limitTime) * 60000)
            chop();
        return;
    }
    if (m_settings.limitSize <= 0)
        return;
    const QFileInfo file(m_currentFile);
    if (!QDir(m_settings.outputFolder).exists()) {
        qWarning().noquote() << "the recording folder" << m_settings.outputFolder << "is gone";
        return;
    }
    if (file.exists() && file.size() >= qint64(m_settings.limitSize) * MiB)
        chop();
}

void RecordTask::setState(const QString &state, const QString &error)
{
    std::lock_guard lock(m_statusLock);
    m_state = state;
    if (!error.isEmpty())
        m_error = error;
    if (state != QLatin1String("recording") && m_recordClock.isValid()) {
        m_elapsedMs = m_recordClock.elapsed();
        m_recordClock.invalidate();
    }
}

void RecordTask::onFinished(int exitCode, QProcess::ExitStatus status)
{
    onReadData();
    onReadError();
    if (m_stopping) {
        setState(m_errorReported ? "failed" : "stopped");
        qInfo().noquote() << "recording of window" << m_settings.position << "ended, exit code"
                          << exitCode;
        return;
    }
    const QString how = status == QProcess::CrashExit
                            ? QStringLiteral("crashed")
                            : QStringLiteral("exit code %1").arg(exitCode);
    qWarning().noquote() << "recording of window" << m_settings.position << "ended by itself ("
                         << how << "), last message:" << m_lastErrorLine
                         << "- the files written so far are kept";
    if (m_errorReported) {
        setState("failed");
        return;
    }
    const QString code = status == QProcess::NormalExit && !m_lastErrorCode.isEmpty()
                             ? m_lastErrorCode
                             : QStringLiteral("crashed");
    setState("failed", code);
    m_errorReported = true;
    emit readyError(m_settings.position, code);
}

QJsonObject RecordTask::statusJson() const
{
    std::lock_guard lock(m_statusLock);
    const qint64 elapsedMs = m_recordClock.isValid() ? m_recordClock.elapsed() : m_elapsedMs;
    return QJsonObject{
        {"position", m_settings.position},
        {"source", m_settings.source},
        {"state", m_state},
        {"file", m_statusFile},
        {"files", m_files},
        {"elapsed", double(elapsedMs / 100) / 10.0},
        {"frames", m_frames},
        {"dropped", m_dropped},
        {"bytes", m_bytes},
        {"error", m_error},
    };
}
