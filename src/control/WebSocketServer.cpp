#include "control/WebSocketServer.h"

#include <QDebug>
#include <QJsonDocument>
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

bool WebSocketServer::start(quint16 port)
{
    if (m_server && m_server->isListening())
        return true;
    if (!m_server) {
        m_server = new QWebSocketServer(QStringLiteral("Chat Server"),
                                        QWebSocketServer::NonSecureMode, this);
    }
    if (!m_server->listen(QHostAddress::Any, port)) {
        qWarning().noquote() << "event channel cannot listen on port" << port << ":"
                             << m_server->errorString();
        return false;
    }
    printLine(QStringLiteral("Chat Server listening on port %1").arg(m_server->serverPort()));
    connect(m_server, &QWebSocketServer::newConnection, this, &WebSocketServer::onNewConnection,
            Qt::UniqueConnection);
    return true;
}

void WebSocketServer::stop()
{
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
    return m_server && m_server->isListening();
}

quint16 WebSocketServer::serverPort() const
{
    return isListening() ? m_server->serverPort() : 0;
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
