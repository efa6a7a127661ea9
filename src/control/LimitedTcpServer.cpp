#include "control/LimitedTcpServer.h"

#include <QDebug>
#include <QTcpSocket>

#include <functional>

namespace {

// The connection's socket, which also follows the answers the HTTP server writes to it (any
// way it writes them: whole, or a file in pieces) and reports each one that is complete.
// Answers are framed by their Content-Length; after an answer without one (chunked, or up
// to the end of the stream) nothing more is counted.
class AnswerCountingSocket : public QTcpSocket
{
public:
    using QTcpSocket::QTcpSocket;

    qint64 answersWritten() const { return m_answers; }
    std::function<void()> onAnswerWritten; // called after each complete answer

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        const qint64 written = QTcpSocket::writeData(data, len);
        if (written > 0)
            follow(QByteArrayView(data, written));
        return written;
    }

private:
    void follow(QByteArrayView bytes)
    {
        while (!bytes.isEmpty() && !m_lost) {
            if (m_bodyLeft > 0) {
                const qint64 take = std::min<qint64>(m_bodyLeft, bytes.size());
                m_bodyLeft -= take;
                bytes = bytes.sliced(take);
                if (m_bodyLeft == 0)
                    answered();
                continue;
            }
            const qsizetype before = m_head.size();
            m_head.append(bytes.data(), bytes.size());
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0) {
                m_lost = m_head.size() > LimitedTcpServer::MaxHeadBytes;
                return;
            }
            bytes = bytes.sliced(end + 4 - before);
            readHead(m_head.left(end));
            m_head.clear();
        }
    }

    void readHead(const QByteArray &head)
    {
        qint64 length = -1;
        bool chunked = false;
        for (const QByteArray &raw : head.split('\n')) {
            const QByteArray line = raw.trimmed().toLower();
            if (line.startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
            chunked = chunked || line.startsWith("transfer-encoding:");
        }
        if (chunked || length < 0)
            m_lost = true;
        else if (length > 0)
            m_bodyLeft = length;
        else
            answered();
    }

    void answered()
    {
        ++m_answers;
        if (onAnswerWritten)
            onAnswerWritten();
    }

    QByteArray m_head;     // bytes of an incomplete answer head
    qint64 m_bodyLeft = 0; // bytes of the current declared body still to come
    qint64 m_answers = 0;
    bool m_lost = false; // framing unknown from here on
};

// Follows the request stream of one connection: heads are collected and checked, declared
// bodies are skipped by length. Bytes are only peeked; the HTTP server reads them after.
class RequestGuard : public QObject
{
public:
    RequestGuard(AnswerCountingSocket *socket, qint64 maxBodyBytes)
        : QObject(socket), m_socket(socket), m_maxBodyBytes(maxBodyBytes)
    {
        // Connected before the HTTP server's own slot, so this sees each chunk first.
        connect(socket, &QTcpSocket::readyRead, this, &RequestGuard::inspect);
        socket->onAnswerWritten = [this] { closeIfAnswered(); };
    }

private:
    void inspect()
    {
        if (m_refused) {
            m_socket->readAll(); // keep the parser from seeing the rest
            return;
        }
        const QByteArray chunk = m_socket->peek(m_socket->bytesAvailable());
        qsizetype offset = 0;
        while (offset < chunk.size() && !m_refused) {
            if (m_bodyLeft > 0) {
                const qint64 take = std::min<qint64>(m_bodyLeft, chunk.size() - offset);
                m_bodyLeft -= take;
                offset += take;
                continue;
            }
            const qsizetype end = scanHead(chunk, offset);
            if (end < 0)
                break; // head not complete yet
            offset = end;
        }
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

    // Appends head bytes from `chunk` at `offset`. Returns the offset after the head when it
    // is complete (and checked), or -1 when more bytes are needed.
    qsizetype scanHead(const QByteArray &chunk, qsizetype offset)
    {
        const qsizetype before = m_head.size();
        m_head.append(chunk.constData() + offset, chunk.size() - offset);
        qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > LimitedTcpServer::MaxHeadBytes)
                refuse(431, "Request Header Fields Too Large", "request head too large");
            return -1;
        }
        end += 4;
        if (end > LimitedTcpServer::MaxHeadBytes) {
            refuse(431, "Request Header Fields Too Large", "request head too large");
            return -1;
        }
        const QByteArray head = m_head.left(end);
        m_head.clear();
        checkHead(head);
        return offset + (end - before);
    }

    void checkHead(const QByteArray &head)
    {
        qint64 length = 0;
        bool chunked = false;
        const QList<QByteArray> lines = head.split('\n');
        bool close = lines.first().trimmed().endsWith("HTTP/1.0");
        const bool http10 = close;
        for (qsizetype i = 1; i < lines.size(); ++i) { // line 0 is the request line
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length") {
                bool ok = false;
                length = value.toLongLong(&ok);
                if (!ok || length < 0)
                    length = std::numeric_limits<qint64>::max(); // unreadable: refuse
            } else if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
                chunked = true;
            } else if (name == "connection") {
                const QByteArray tokens = value.toLower();
                if (tokens.contains("close"))
                    close = true;
                else if (http10 && tokens.contains("keep-alive"))
                    close = false;
            }
        }
        ++m_requests;
        if (close && m_closeAfter == 0)
            m_closeAfter = m_requests;
        if (chunked) {
            refuse(411, "Length Required", "request body needs a Content-Length");
        } else if (length > m_maxBodyBytes) {
            qWarning().noquote() << "refused HTTP request" << lines.first().trimmed() << "from"
                                 << m_socket->peerAddress().toString() << ": body of" << length
                                 << "bytes exceeds" << m_maxBodyBytes;
            refuse(413, "Payload Too Large", "request body larger than 1 MiB");
        } else {
            m_bodyLeft = length;
        }
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
    QByteArray m_head;     // bytes of an incomplete request head
    qint64 m_bodyLeft = 0; // bytes of the current declared body still to skip
    bool m_refused = false;
    qint64 m_requests = 0;   // complete request heads seen
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
