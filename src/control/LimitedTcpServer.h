// TCP listener for the HTTP server that refuses oversized requests before they are read
// into memory. It watches each connection's request heads ahead of the HTTP parser and
// answers at once, closing the connection, when
//  - a declared body (Content-Length) exceeds the limit: 413 with the JSON error envelope,
//  - a body comes without a declared length (chunked): 411,
//  - a request head grows beyond HttpFramer::MaxHeadBytes: 431.
// Requests within the limits pass untouched; keep-alive and pipelined requests are
// followed by skipping each declared body. A request that asks for the connection to end
// ("Connection: close", or HTTP/1.0 without keep-alive) has it closed once its answer is
// written: the HTTP server keeps every connection open, and clients that read to the end
// of the stream would otherwise wait for ever.
//
// Thread: main thread (the HTTP server's thread). Per-connection state lives in the
// socket's guard object, so no lock is needed.
#pragma once

#include <QTcpServer>

class LimitedTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit LimitedTcpServer(qint64 maxBodyBytes, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    const qint64 m_maxBodyBytes;
};
