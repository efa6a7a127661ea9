#include "control/WebSocketServer.h"

#include "control/AccessControl.h"

#include <QDebug>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cstdio>
#include <utility>

namespace {

QString peerText(const QWebSocket *socket)
{
    return QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
}

void printLine(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

} // namespace

WebSocketServer *WebSocketServer::instance()
{
    static WebSocketServer server;
    return &server;
}

WebSocketServer::WebSocketServer(QObject *parent) : QObject(parent) {}

WebSocketServer::~WebSocketServer()
{
    qDebug() << "~WebSocketServer";
}

void WebSocketServer::setAccessControl(std::shared_ptr<const AccessControl> access)
{
    m_access = std::move(access);
}

bool WebSocketServer::start(quint16 port, const QHostAddress &address)
{
    if (isListening())
        return true;
    if (!m_server) {
        m_server = new QWebSocketServer(QStringLiteral("Chat Server"),
                                        QWebSocketServer::NonSecureMode, this);
    }
    bool listening = false;
    if (!m_access || m_access->isOpen()) {
        listening = m_server->listen(address, port);
        m_errorString = listening ? QString() : m_server->errorString();
    } else {
        // Connections are checked first and then handed to the (not listening) server.
        if (!m_gate) {
            m_gate = new QTcpServer(this);
            connect(m_gate, &QTcpServer::newConnection, this, &WebSocketServer::onRawConnection);
        }
        listening = m_gate->listen(address, port);
        m_errorString = listening ? QString() : m_gate->errorString();
    }
    if (!listening) {
        qWarning().noquote() << "event channel cannot listen on port" << port << "on"
                             << address.toString() << ":" << m_errorString;
        return false;
    }
    printLine(QStringLiteral("Chat Server listening on port %1").arg(serverPort()));
    connect(m_server, &QWebSocketServer::newConnection, this, &WebSocketServer::onNewConnection,
            Qt::UniqueConnection);
    return true;
}

void WebSocketServer::stop()
{
    if (m_gate)
        m_gate->close();
    if (m_server)
        m_server->close();
    const QList<QPointer<QWebSocket>> clients = std::exchange(m_clients, {});
    for (const QPointer<QWebSocket> &socket : clients) {
        if (!socket)
            continue;
        socket->disconnect(this);
        socket->abort();
        delete socket.data();
    }
}

bool WebSocketServer::isListening() const
{
    return (m_server && m_server->isListening()) || (m_gate && m_gate->isListening());
}

quint16 WebSocketServer::serverPort() const
{
    if (m_gate && m_gate->isListening())
        return m_gate->serverPort();
    return isListening() ? m_server->serverPort() : 0;
}

void WebSocketServer::onRawConnection()
{
    // Bytes are only peeked here: the WebSocket server reads the same handshake after.
    constexpr qint64 MaxHeadBytes = 16 * 1024;
    constexpr int HeadTimeoutMs = 10000;
    while (QTcpSocket *socket = m_gate->nextPendingConnection()) {
        auto *watch = new QObject(socket); // its connections end when the head is judged
        connect(socket, &QTcpSocket::readyRead, watch, [this, socket, watch] {
            const QByteArray bytes = socket->peek(MaxHeadBytes + 1);
            const qsizetype end = bytes.indexOf("\r\n\r\n");
            if (end < 0 && bytes.size() <= MaxHeadBytes)
                return; // the head is not complete yet
            delete watch;
            admit(socket, end < 0 ? QByteArray() : bytes.first(end));
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(HeadTimeoutMs, watch, [socket] { socket->abort(); });
    }
}

void WebSocketServer::admit(QTcpSocket *socket, const QByteArray &head)
{
    const QByteArray token = AccessControl::handshakeToken(head);
    if (!head.isEmpty() && m_access->levelOf(token) != AccessControl::Level::None) {
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        m_server->handleConnection(socket);
        return;
    }
    if (!m_lastRefusalLog.isValid() || m_lastRefusalLog.elapsed() >= 10000) {
        qWarning().noquote() << "event channel refused" << socket->peerAddress().toString() << ":"
                             << (token.isEmpty() ? "no access token" : "wrong access token");
        m_lastRefusalLog.start();
    }
    const QByteArray body = R"({"result":"error","msg":"access token missing or wrong"})";
    socket->write("HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\n"
                  "Content-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}

void WebSocketServer::onNewConnection()
{
    qDebug() << "new connection";
    QWebSocket *socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    printLine(peerText(socket) + QStringLiteral(" connected!"));
    socket->setParent(this);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketServer::processMessage);
    connect(socket, &QWebSocket::disconnected, this, &WebSocketServer::socketDisconnected);
    m_clients.append(socket);
    emit connected();
}

void WebSocketServer::processMessage(const QString &message)
{
    Q_UNUSED(message) // the channel only pushes; clients cannot send commands
}

void WebSocketServer::socketDisconnected()
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    if (!socket)
        return;
    printLine(peerText(socket) + QStringLiteral(" disconnected!"));
    m_clients.removeAll(socket);
    socket->deleteLater();
}

void WebSocketServer::sendMessages(const QJsonObject &jsonObject)
{
    QString text; // serialised once, on the first client that takes it
    for (const QPointer<QWebSocket> &client : std::as_const(m_clients)) {
        if (!client) {
            qDebug() << "client is null";
            continue;
        }
        if (text.isNull())
            text = QString::fromUtf8(QJsonDocument(jsonObject).toJson(QJsonDocument::Indented));
        client->sendTextMessage(text);
    }
}
