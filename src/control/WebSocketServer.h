// Event push: a WebSocket server that broadcasts each event (one JSON object, sent as
// indented JSON text) to every connected client. Clients cannot send commands; their
// messages are ignored.
//
// Thread: main thread. The server, its listener and its sockets live there; callers on
// other threads reach sendMessages through a queued invocation (QMetaObject::invokeMethod
// by name with Qt::AutoConnection) or a queued signal connection, so the client list
// needs no lock.
//
// With an access token (AccessControl) a connection must present the full or the
// read-only token in its URL ("/?token=...") or as "Authorization: Bearer ..."; the
// opening handshake of any other is answered with HTTP 401 and closed, so it never
// becomes a client.
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class AccessControl;
class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

class WebSocketServer : public QObject
{
    Q_OBJECT
public:
    // The process-wide server, created on first call.
    static WebSocketServer *instance();

    explicit WebSocketServer(QObject *parent = nullptr);
    ~WebSocketServer() override;

    // Who may connect (default: open); set before start.
    void setAccessControl(std::shared_ptr<const AccessControl> access);
    // Listens on `address` (default: all) at `port` (plain ws). On success prints "Chat
    // Server listening on port <port>" to standard output; on failure stays without
    // clients, and errorString() says why.
    bool start(quint16 port, const QHostAddress &address = QHostAddress(QHostAddress::Any));
    QString errorString() const { return m_errorString; }
    // Stops listening and closes every client (part of the application's shutdown).
    void stop();
    bool isListening() const;
    quint16 serverPort() const; // 0 when not listening
    int clientCount() const { return int(m_clients.size()); }

public slots:
    // Broadcasts one event to all clients in connection order.
    void sendMessages(const QJsonObject &jsonObject);

signals:
    // After each accepted connection.
    void connected();

private slots:
    void onNewConnection();
    void processMessage(const QString &message);
    void socketDisconnected();

private:
    // Token check of a raw connection before its WebSocket handshake (access not open).
    void onRawConnection();
    void admit(QTcpSocket *socket, const QByteArray &head);

    QWebSocketServer *m_server = nullptr;
    QTcpServer *m_gate = nullptr; // listens instead of m_server when a token is needed
    std::shared_ptr<const AccessControl> m_access;
    QString m_errorString;
    QElapsedTimer m_lastRefusalLog; // refusals are logged at most every 10 s
    QList<QPointer<QWebSocket>> m_clients;
};
