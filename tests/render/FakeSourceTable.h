// Fills the process-wide source table with fake sources: each name gets a
// FakeReceiverConnection made through the table's own connection factory, so render items find
// them exactly as they find real sources. Main thread only.
#pragma once

#include "../media/FakeReceiverConnection.h"
#include "discovery/SourceManager.h"

#include <QMap>

class FakeSourceTable
{
public:
    FakeSourceTable()
    {
        SourceManager::instance()->setConnectionFactory(
            [this](const QString &name, const QString &) -> MediaConnectionPtr {
                auto c = std::make_shared<FakeReceiverConnection>(m_options.value(name));
                c->setSource(MediaConnection::Both, name, QStringLiteral("127.0.0.1:5960"));
                return c;
            });
    }
    ~FakeSourceTable()
    {
        m_options.clear();
        publish(SourceManager::kAgeOutMs + 1);
    }

    std::shared_ptr<FakeReceiverConnection> add(const QString &name,
                                                FakeReceiverConnection::Options options = {})
    {
        m_options[name] = options;
        publish();
        return get(name);
    }
    // Takes the source out of the table (as when it ages out); holders keep its connection.
    void remove(const QString &name)
    {
        m_options.remove(name);
        publish(SourceManager::kAgeOutMs + 1);
    }
    static std::shared_ptr<FakeReceiverConnection> get(const QString &name)
    {
        return std::dynamic_pointer_cast<FakeReceiverConnection>(
            SourceManager::instance()->getConnection(name));
    }

private:
    void publish(qint64 advanceMs = 0)
    {
        m_nowMs += advanceMs;
        QList<SourceManager::FoundSource> found;
        for (const QString &name : m_options.keys())
            found.append({name.toUtf8(), QByteArrayLiteral("127.0.0.1:5960")});
        SourceManager::instance()->updateSourceList(found, m_nowMs);
    }

    QMap<QString, FakeReceiverConnection::Options> m_options;
    qint64 m_nowMs = 1000000;
};
