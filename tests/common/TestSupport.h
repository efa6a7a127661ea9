// Helpers shared by the tests. Everything here runs on the test's main thread.
//
// Contract for every server or program a test starts through these classes: it is
// started by the test, remembered by PID, and ended (SIGTERM, then SIGKILL after a grace
// period) by that same object's destructor. Nothing here ever signals a process it did
// not start, and nothing listens on anything but loopback.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>
#include <functional>
#include <memory>

namespace drtest {

// Folder of the CMake build (where desk-recorder and the tools are) and of the sources.
QString buildDir();
QString sourceDir();

// A TCP port on 127.0.0.1 that was free a moment ago (bound and released).
quint16 freeTcpPort();

// Runs the event loop until `done` returns true or `timeoutMs` passes; returns done().
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// Every "log_*.log" file of the folder, oldest first, joined.
QByteArray readLogs(const QString &folder);
// The value at a path such as "data/layout/0/name" (array items by index).
QJsonValue jsonAt(QJsonValue value, const QString &path);
// Writes `content` to `path` atomically, making its folder first; false when it cannot.
bool writeFile(const QString &path, const QByteArray &content);

// Our NDI runtime kept to this test: a private source registry and discovery port, nothing
// sent off this host. Set in this process on the first call (make it before the runtime
// loads); children started with the returned environment share it.
QProcessEnvironment isolatedRuntimeEnv();
// PIDs of the processes named `name` (as /proc shows it) whose parent is `parent`.
QList<qint64> childPids(qint64 parent, const QByteArray &name);
// A source name unique across test runs sharing a machine: "<base> <pid>-<n>".
QString uniqueName(const QString &base);

// A child program owned by the test; ended by PID when this object goes.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts `program` with `args`; extra environment entries are added to the test's own.
    bool start(const QString &program, const QStringList &args,
               const QProcessEnvironment &extraEnv = {});
    // SIGTERM, wait up to graceMs, then SIGKILL. Returns the exit code (-1 when killed).
    int stop(int graceMs = 5000);
    void kill(); // SIGKILL at once (a crash as the user would see it)
    bool isRunning() const;
    qint64 pid() const;
    // Everything the child printed so far (stdout and stderr merged).
    QString output();
    // Waits until the merged output contains `text`.
    bool waitForOutput(const QString &text, int timeoutMs);
    QProcess &process() { return *m_process; }

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
};

struct HttpReply
{
    int status = 0; // HTTP status, 0 when no answer came
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Synchronous HTTP client for tests (runs a local event loop while waiting).
HttpReply httpGet(const QString &url, int timeoutMs = 10000);
HttpReply httpPost(const QString &url, const QByteArray &body,
                   const QByteArray &contentType = "application/json", int timeoutMs = 10000);
HttpReply httpPostJson(const QString &url, const QJsonObject &body, int timeoutMs = 10000);
// Any method, with extra request headers (e.g. {"Authorization", "Bearer x"}).
HttpReply httpSend(const QString &url, const QByteArray &method, const QByteArray &body,
                   const QList<QPair<QByteArray, QByteArray>> &headers, int timeoutMs = 10000);

// The real desk-recorder binary started headless on free ports with its own temporary
// data folder (kept across restart() so persistence can be tested).
class AppInstance
{
public:
    AppInstance();
    ~AppInstance();

    // Starts and waits until the HTTP API answers. Extra arguments/environment optional.
    bool start(const QStringList &extraArgs = {}, const QProcessEnvironment &extraEnv = {},
               int timeoutMs = 20000);
    int stop();     // SIGTERM and wait; returns the exit code
    void kill();    // SIGKILL (crash)
    bool restart(); // stop then start with the same data folder and ports

    bool headless = true; // false opens the main window (GUI tests; set before start)
    QString dataDir() const { return m_dataDir.path(); }
    quint16 wsPort() const { return m_wsPort; }
    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path
    QString wsUrl() const;
    ChildProcess &process() { return m_child; }

    HttpReply get(const QString &path) { return httpGet(url(path)); }
    HttpReply post(const QString &path, const QJsonObject &body)
    {
        return httpPostJson(url(path), body);
    }

private:
    QTemporaryDir m_dataDir;
    quint16 m_httpPort = 0;
    quint16 m_wsPort = 0;
    QStringList m_lastArgs;
    QProcessEnvironment m_lastEnv;
    ChildProcess m_child;
};

// A WebSocket client that keeps every text message it receives.
class EventClient
{
public:
    EventClient();
    bool open(const QString &url, int timeoutMs = 5000);
    void close();
    QList<QJsonObject> messages() const { return m_messages; }
    void clear() { m_messages.clear(); }
    // Waits for a message for which `match` is true (already received ones count).
    bool waitFor(const std::function<bool(const QJsonObject &)> &match, int timeoutMs,
                 QJsonObject *found = nullptr);
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QList<QJsonObject> m_messages;
};

// An Xvfb server on a free display number; display() gives ":N".
class XvfbServer
{
public:
    bool start(const QString &screen = "1920x1080x24");
    void stop() { m_child.stop(); }
    QString display() const { return m_display; }

private:
    ChildProcess m_child;
    QString m_display;
};

} // namespace drtest
