#include "control/AccessControl.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>
#include <QUrlQuery>

namespace {

QByteArray digestOf(const QByteArray &token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

// Equal digests (both 32 bytes): every byte is looked at whatever differs.
bool sameDigest(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

QString AccessControl::checkToken(const QByteArray &token)
{
    if (token.size() < MinTokenLength)
        return QStringLiteral("the token has fewer than %1 characters").arg(MinTokenLength);
    for (const char c : token) {
        if (c < 0x21 || c > 0x7e)
            return QStringLiteral("the token may only hold printable ASCII characters without "
                                  "spaces");
    }
    return {};
}

bool AccessControl::readTokenFile(const QString &path, QByteArray *token, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray value = file.readLine(4096).trimmed();
    const QString reason = checkToken(value);
    if (!reason.isEmpty()) {
        *error = QStringLiteral("unusable token file %1: %2").arg(path, reason);
        return false;
    }
    *token = value;
    return true;
}

void AccessControl::setTokens(const QByteArray &fullToken, const QByteArray &readToken)
{
    m_hasFull = !fullToken.isEmpty();
    m_hasRead = m_hasFull && !readToken.isEmpty();
    m_fullDigest = m_hasFull ? digestOf(fullToken) : QByteArray();
    m_readDigest = m_hasRead ? digestOf(readToken) : QByteArray();
}

AccessControl::Level AccessControl::levelOf(const QByteArray &presented) const
{
    if (!m_hasFull)
        return Level::Full;
    // Both comparisons always run, so the time taken does not tell which token matched.
    const QByteArray digest = digestOf(presented);
    const bool full = sameDigest(digest, m_fullDigest);
    const bool read = m_hasRead && sameDigest(digest, m_readDigest);
    if (presented.isEmpty())
        return Level::None;
    return full ? Level::Full : (read ? Level::Read : Level::None);
}

QByteArray AccessControl::presentedToken(const QByteArray &authorization, const QUrl &url)
{
    const QByteArray value = authorization.trimmed();
    if (value.size() > 7 && value.first(7).toLower() == "bearer ")
        return value.mid(7).trimmed();
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("token")))
        return query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    return {};
}

QByteArray AccessControl::handshakeToken(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    QByteArray authorization;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().toLower() == "authorization")
            authorization = line.mid(colon + 1).trimmed();
    }
    return presentedToken(authorization, QUrl(QString::fromLatin1(request.value(1))));
}
