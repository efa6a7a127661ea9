// Event push: a WebSocket server that broadcasts each event (one JSON object, sent as
// indented JSON text) to every connected client. Clients cannot send commands; their
// messages are ignored.
//
// Thread: main thread. The server, its listener and its sockets live there; callers on
// other threads reach sendMessages through a queued invocation (QMetaObject::invokeMethod
// by name with Qt::AutoConnection) or a queued signal connection, so the client list
// needs no lock.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>

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

    // Listens on all addresses at `port` (plain ws). On success prints "Chat Server
    // listening on port <port>" to standard output; on failure stays without clients.
    bool start(quint16 port);
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
    QWebSocketServer *m_server = nullptr;
    QList<QPointer<QWebSocket>> m_clients;
};
