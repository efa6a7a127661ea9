#include "control/HttpFramer.h"

#include <QList>

#include <algorithm>
#include <limits>

HttpFramer::Head HttpFramer::parseHead(const QByteArray &head)
{
    Head fields;
    const QList<QByteArray> lines = head.split('\n');
    fields.startLine = lines.first().trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            fields.length = value.toLongLong(&ok);
            if (!ok || fields.length < 0)
                fields.length = std::numeric_limits<qint64>::max();
        } else if (name == "transfer-encoding") {
            fields.chunked = value.toLower().contains("chunked");
        } else if (name == "connection") {
            fields.connection = value.toLower();
        }
    }
    return fields;
}

bool HttpFramer::feed(QByteArrayView bytes)
{
    while (!bytes.isEmpty() && !m_stopped) {
        if (m_bodyLeft > 0) {
            const qint64 take = std::min<qint64>(m_bodyLeft, bytes.size());
            m_bodyLeft -= take;
            bytes = bytes.sliced(take);
            if (m_bodyLeft == 0 && onMessageEnd)
                onMessageEnd();
            continue;
        }
        const qsizetype before = m_head.size();
        m_head.append(bytes.data(), bytes.size());
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0 || end + 4 > MaxHeadBytes) {
            if (m_head.size() > MaxHeadBytes) {
                m_headTooLarge = true;
                stop();
            }
            break;
        }
        bytes = bytes.sliced(end + 4 - before);
        const QByteArray head = m_head.left(end);
        m_head.clear();
        const qint64 length = onHead ? onHead(head) : 0;
        if (length < 0)
            stop();
        else if (length > 0)
            m_bodyLeft = length;
        else if (onMessageEnd)
            onMessageEnd();
    }
    return !m_stopped;
}
