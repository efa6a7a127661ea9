#include "control/LimitedTcpServer.h"

#include "control/HttpFramer.h"

#include <QDebug>
#include <QTcpSocket>

#include <algorithm>
#include <functional>

namespace {

// The connection's socket, which also follows the answers the HTTP server writes to it (any
// way it writes them: whole, or a file in pieces) and reports each one that is complete.
// After an answer not framed by a Content-Length (chunked, or up to the end of the stream)
// nothing more is counted.
class AnswerCountingSocket : public QTcpSocket
{
public:
    explicit AnswerCountingSocket(QObject *parent) : QTcpSocket(parent)
    {
        m_answers.onHead = [](const QByteArray &head) {
            const HttpFramer::Head fields = HttpFramer::parseHead(head);
            return fields.chunked ? -1 : fields.length;
        };
        m_answers.onMessageEnd = [this] {
            ++m_answersWritten;
            if (onAnswerWritten)
                onAnswerWritten();
        };
    }

    qint64 answersWritten() const { return m_answersWritten; }
    std::function<void()> onAnswerWritten; // called after each complete answer

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        const qint64 written = QTcpSocket::writeData(data, len);
        if (written > 0)
            m_answers.feed(QByteArrayView(data, written));
        return written;
    }

private:
    HttpFramer m_answers;
    qint64 m_answersWritten = 0;
};

// Follows the request stream of one connection: heads are checked, declared bodies are
// skipped by length. Bytes are only peeked; the HTTP server reads them after.
class RequestGuard : public QObject
{
public:
    RequestGuard(AnswerCountingSocket *socket, qint64 maxBodyBytes)
        : QObject(socket), m_socket(socket), m_maxBodyBytes(maxBodyBytes)
    {
        // Connected before the HTTP server's own slot, so this sees each chunk first.
        connect(socket, &QTcpSocket::readyRead, this, &RequestGuard::inspect);
        m_requests.onHead = [this](const QByteArray &head) { return checkHead(head); };
        socket->onAnswerWritten = [this] { closeIfAnswered(); };
    }

private:
    void inspect()
    {
        if (m_refused) {
            m_socket->readAll(); // keep the parser from seeing the rest
            return;
        }
        if (!m_requests.feed(m_socket->peek(m_socket->bytesAvailable())) &&
            m_requests.headTooLarge())
            refuse(431, "Request Header Fields Too Large", "request head too large");
    }

    // Closes (after the buffered bytes are sent) once the request that asked for it has its
    // whole answer written. Queued: this runs inside the socket's write.
    void closeIfAnswered()
    {
        if (m_closeAfter == 0 || m_closeQueued || m_socket->answersWritten() < m_closeAfter)
            return;
        m_closeQueued = true;
        QMetaObject::invokeMethod(
            m_socket, [socket = m_socket] { socket->disconnectFromHost(); }, Qt::QueuedConnection);
    }

    // Returns the length of the body to skip, or -1 when the request is refused.
    qint64 checkHead(const QByteArray &head)
    {
        const HttpFramer::Head fields = HttpFramer::parseHead(head);
        ++m_headsSeen;
        const bool http10 = fields.startLine.endsWith("HTTP/1.0");
        const bool close = fields.connection.contains("close") ||
                           (http10 && !fields.connection.contains("keep-alive"));
        if (close && m_closeAfter == 0)
            m_closeAfter = m_headsSeen;
        if (fields.chunked) {
            refuse(411, "Length Required", "request body needs a Content-Length");
            return -1;
        }
        if (fields.length > m_maxBodyBytes) {
            qWarning().noquote() << "refused HTTP request" << fields.startLine << "from"
                                 << m_socket->peerAddress().toString() << ": body of"
                                 << fields.length << "bytes exceeds" << m_maxBodyBytes;
            refuse(413, "Payload Too Large", "request body larger than 1 MiB");
            return -1;
        }
        return std::max<qint64>(fields.length, 0);
    }

    void refuse(int status, const char *reason, const char *message)
    {
        m_refused = true;
        m_socket->readAll();
        const QByteArray body =
            QByteArray(R"({"result":"error","msg":")") + message + QByteArray("\"}");
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        m_socket->disconnectFromHost();
    }

    AnswerCountingSocket *m_socket;
    const qint64 m_maxBodyBytes;
    HttpFramer m_requests;
    bool m_refused = false;
    qint64 m_headsSeen = 0;  // complete request heads seen
    qint64 m_closeAfter = 0; // number of the first request that asked to end the connection
    bool m_closeQueued = false;
};

} // namespace

LimitedTcpServer::LimitedTcpServer(qint64 maxBodyBytes, QObject *parent)
    : QTcpServer(parent), m_maxBodyBytes(maxBodyBytes)
{
}

void LimitedTcpServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new AnswerCountingSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    new RequestGuard(socket, m_maxBodyBytes);
    addPendingConnection(socket);
}
