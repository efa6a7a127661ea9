#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/types.h>

namespace drtest {

QString buildDir()
{
    const QString env = qEnvironmentVariable("DR_BUILD_DIR");
    if (!env.isEmpty())
        return env;
    // Test executables live in <build>/tests.
    return QDir(QCoreApplication::applicationDirPath() + "/..").canonicalPath();
}

QString sourceDir()
{
    return qEnvironmentVariable("DR_SOURCE_DIR");
}

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QByteArray readLogs(const QString &folder)
{
    QByteArray text;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({"log_*.log"}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += file.readAll();
    }
    return text;
}

QProcessEnvironment isolatedRuntimeEnv()
{
    static QTemporaryDir registry;
    static QProcessEnvironment env;
    if (env.isEmpty()) {
        env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
        env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(freeTcpPort()));
        env.insert("DESK_RECORDER_NDI_LIB", buildDir() + "/libdesk-recorder-ndi.so");
        env.insert("DESK_RECORDER_NDI_INTERFACES", "none");
        for (const QString &key : env.keys())
            qputenv(key.toLocal8Bit(), env.value(key).toLocal8Bit());
    }
    return env;
}

QList<qint64> childPids(qint64 parent, const QByteArray &name)
{
    QList<qint64> out;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (text.contains("(" + name + ")") && fields.size() > 1 &&
            fields[1].toLongLong() == parent)
            out << entry.toLongLong();
    }
    return out;
}

QString uniqueName(const QString &base)
{
    static int counter = 0;
    return QString("%1 %2-%3").arg(base).arg(QCoreApplication::applicationPid()).arg(++counter);
}

QJsonValue jsonAt(QJsonValue value, const QString &path)
{
    for (const QString &key : path.split('/'))
        value = value.isArray() ? value.toArray().at(key.toInt()) : value.toObject().value(key);
    return value;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// ---------------------------------------------------------------- ChildProcess

ChildProcess::~ChildProcess()
{
    stop(3000);
}

bool ChildProcess::start(const QString &program, const QStringList &args,
                         const QProcessEnvironment &extraEnv)
{
    stop(3000);
    m_output.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : extraEnv.keys())
        env.insert(key, extraEnv.value(key));
    m_process->setProcessEnvironment(env);
    m_process->start(program, args);
    if (!m_process->waitForStarted(10000)) {
        qWarning("ChildProcess: cannot start %s: %s", qPrintable(program),
                 qPrintable(m_process->errorString()));
        m_process.reset();
        return false;
    }
    return true;
}

int ChildProcess::stop(int graceMs)
{
    if (!m_process)
        return -1;
    int code = -1;
    if (m_process->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
        if (!m_process->waitForFinished(graceMs)) {
            ::kill(static_cast<pid_t>(m_process->processId()), SIGKILL);
            m_process->waitForFinished(5000);
        }
    }
    m_output += m_process->readAll();
    if (m_process->exitStatus() == QProcess::NormalExit)
        code = m_process->exitCode();
    m_process.reset();
    return code;
}

void ChildProcess::kill()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process->processId()), SIGKILL);
        m_process->waitForFinished(5000);
        m_output += m_process->readAll();
    }
}

bool ChildProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 ChildProcess::pid() const
{
    return m_process ? m_process->processId() : 0;
}

QString ChildProcess::output()
{
    if (m_process)
        m_output += m_process->readAll();
    return QString::fromUtf8(m_output);
}

bool ChildProcess::waitForOutput(const QString &text, int timeoutMs)
{
    return waitUntil(
        [&] {
            if (m_process)
                m_process->waitForReadyRead(10);
            return output().contains(text);
        },
        timeoutMs);
}

// ---------------------------------------------------------------- HTTP

static HttpReply finish(QNetworkReply *reply, int timeoutMs)
{
    HttpReply result;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec();
    if (reply->isFinished()) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
    } else {
        reply->abort();
    }
    reply->deleteLater();
    return result;
}

static QNetworkAccessManager &manager()
{
    static QNetworkAccessManager nam;
    return nam;
}

HttpReply httpGet(const QString &url, int timeoutMs)
{
    QNetworkRequest req{QUrl(url)};
    return finish(manager().get(req), timeoutMs);
}

HttpReply httpPost(const QString &url, const QByteArray &body, const QByteArray &contentType,
                   int timeoutMs)
{
    QNetworkRequest req{QUrl(url)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return finish(manager().post(req, body), timeoutMs);
}

HttpReply httpPostJson(const QString &url, const QJsonObject &body, int timeoutMs)
{
    return httpPost(url, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json",
                    timeoutMs);
}

HttpReply httpSend(const QString &url, const QByteArray &method, const QByteArray &body,
                   const QList<QPair<QByteArray, QByteArray>> &headers, int timeoutMs)
{
    QNetworkRequest req{QUrl(url)};
    for (const auto &[name, value] : headers)
        req.setRawHeader(name, value);
    if (!body.isEmpty())
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    return finish(manager().sendCustomRequest(req, method, body), timeoutMs);
}

// ---------------------------------------------------------------- AppInstance

AppInstance::AppInstance() = default;

AppInstance::~AppInstance()
{
    stop();
}

QString AppInstance::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path);
}

QString AppInstance::wsUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1").arg(m_wsPort);
}

bool AppInstance::start(const QStringList &extraArgs, const QProcessEnvironment &extraEnv,
                        int timeoutMs)
{
    if (m_httpPort == 0) {
        m_httpPort = freeTcpPort();
        do {
            m_wsPort = freeTcpPort();
        } while (m_wsPort == m_httpPort);
    }
    m_lastArgs = extraArgs;
    m_lastEnv = extraEnv;
    QStringList args{"--data-dir",  m_dataDir.path(),
                     "--http-port", QString::number(m_httpPort),
                     "--ws-port",   QString::number(m_wsPort)};
    if (headless)
        args.prepend("--headless");
    args += extraArgs;
    if (!m_child.start(buildDir() + "/desk-recorder", args, extraEnv))
        return false;
    const bool up = waitUntil(
        [&] {
            if (!m_child.isRunning())
                return true;
            // Long enough for a sanitizer build on a busy machine.
            return httpGet(url("/api/output/get.json"), 5000).status != 0;
        },
        timeoutMs);
    if (!up || !m_child.isRunning()) {
        qWarning("desk-recorder did not come up; its output:\n%s", qPrintable(m_child.output()));
        return false;
    }
    return true;
}

int AppInstance::stop()
{
    return m_child.stop(10000);
}

void AppInstance::kill()
{
    m_child.kill();
}

bool AppInstance::restart()
{
    stop();
    return start(m_lastArgs, m_lastEnv);
}

// ---------------------------------------------------------------- EventClient

EventClient::EventClient()
{
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
        m_messages.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
}

bool EventClient::open(const QString &url, int timeoutMs)
{
    m_socket.open(QUrl(url));
    return waitUntil([&] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                     timeoutMs);
}

void EventClient::close()
{
    m_socket.close();
}

bool EventClient::waitFor(const std::function<bool(const QJsonObject &)> &match, int timeoutMs,
                          QJsonObject *found)
{
    qsizetype checked = 0;
    return waitUntil(
        [&] {
            for (; checked < m_messages.size(); ++checked) {
                if (match(m_messages[checked])) {
                    if (found)
                        *found = m_messages[checked];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

// ---------------------------------------------------------------- Xvfb

bool XvfbServer::start(const QString &screen)
{
    for (int n = 90 + (QCoreApplication::applicationPid() % 400); n < 1000; ++n) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) ||
            QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            continue;
        m_display = QStringLiteral(":%1").arg(n);
        if (!m_child.start("Xvfb", {m_display, "-screen", "0", screen, "-nolisten", "tcp"}))
            return false;
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
        if (waitUntil([&] { return QFile::exists(socket) || !m_child.isRunning(); }, 10000) &&
            m_child.isRunning())
            return true;
        m_child.stop();
    }
    return false;
}

} // namespace drtest
