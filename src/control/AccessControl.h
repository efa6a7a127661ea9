// Who may use the HTTP API and the event channel. Without tokens everything is open (the
// default). With a full-access token every API request and event connection must present
// it, or the read-only token, which may only read (routes marked Read, events).
//
// A token is presented as "Authorization: Bearer <token>" or as the "token" query
// parameter (for clients that cannot send headers: the event channel from a browser).
// Tokens are kept only as SHA-256 digests and compared in constant time; they are never
// logged.
//
// Thread: configured once on the main thread before the servers start, then read-only,
// so any thread may call the const methods.
#pragma once

#include <QByteArray>
#include <QString>

class QUrl;

class AccessControl
{
public:
    enum class Level
    {
        None, // refused
        Read, // the read-only token
        Full, // the full-access token, or open access
    };

    // Shortest token accepted: guessing must stay impractical.
    static constexpr int MinTokenLength = 8;

    // Open access: every caller gets Full.
    AccessControl() = default;

    // Reads a token file: its first line, trimmed; at least MinTokenLength characters,
    // printable ASCII without spaces. False with a one-line reason otherwise.
    static bool readTokenFile(const QString &path, QByteArray *token, QString *error);
    // Checks a token's form as readTokenFile does; empty reason when it is acceptable.
    static QString checkToken(const QByteArray &token);

    // An empty full token opens access (and the read token is ignored).
    void setTokens(const QByteArray &fullToken, const QByteArray &readToken);
    bool isOpen() const { return !m_hasFull; }
    bool hasReadToken() const { return m_hasRead; }

    // What a presented token grants; Full when access is open. Constant time for a given
    // configuration, whatever is presented.
    Level levelOf(const QByteArray &presented) const;
    // The token a request presents: the Bearer credential of `authorization` (the header's
    // value), else the "token" query parameter of `url`; empty when there is none.
    static QByteArray presentedToken(const QByteArray &authorization, const QUrl &url);
    // The token a WebSocket opening handshake presents ("GET /?token=... HTTP/1.1" and its
    // header lines, without the empty line), as presentedToken.
    static QByteArray handshakeToken(const QByteArray &head);

private:
    QByteArray m_fullDigest;
    QByteArray m_readDigest;
    bool m_hasFull = false;
    bool m_hasRead = false;
};
