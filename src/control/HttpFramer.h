// Splits one direction of an HTTP/1.1 byte stream into messages: a head up to the empty
// line, then a body of the length the head declares. Used for the requests that reach the
// HTTP server and for the answers it writes, so both are framed by one set of rules.
//
// Thread: whichever thread owns the stream (the HTTP server's); no internal locking.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

class HttpFramer
{
public:
    static constexpr qint64 MaxHeadBytes = 64 * 1024;

    // The fields of a head that framing and connection handling need.
    struct Head
    {
        QByteArray startLine;  // request or status line
        qint64 length = -1;    // Content-Length; -1 absent, INT64_MAX unreadable or negative
        bool chunked = false;  // the body comes in chunks (Transfer-Encoding)
        QByteArray connection; // the Connection header's value, lower case
    };
    static Head parseHead(const QByteArray &head);

    // Called with each complete head (without its empty line); returns the length of the
    // body that follows, or -1 to stop following the stream.
    std::function<qint64(const QByteArray &head)> onHead;
    // Called once each message's body is complete.
    std::function<void()> onMessageEnd;

    // Feeds the next bytes of the stream. Returns false once stopped: by onHead, or when a
    // head grows beyond MaxHeadBytes (headTooLarge() then says so).
    bool feed(QByteArrayView bytes);
    bool headTooLarge() const { return m_headTooLarge; }

private:
    void stop() { m_stopped = true; }

    QByteArray m_head;     // bytes of an incomplete head
    qint64 m_bodyLeft = 0; // bytes of the current body still to come
    bool m_stopped = false;
    bool m_headTooLarge = false;
};
