#include "discovery/SourceManager.h"

#include "discovery/DiscoveryInterfaces.h"
#include "media/MediaReaper.h"
#include "media/NDIConnection.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtDebug>

static_assert(std::char_traits<char>::length(SourceManager::kPlatformToken) == 43);

SourceManager *SourceManager::instance()
{
    static SourceManager manager;
    return &manager;
}

SourceManager::SourceManager(QObject *parent) : QThread(parent)
{
    m_network = new QNetworkAccessManager(this);
    connect(m_network, &QNetworkAccessManager::finished, this, &SourceManager::replyFinished);
    connect(this, &SourceManager::updateProductType, this, &SourceManager::productType);
}

SourceManager::~SourceManager()
{
    stopDiscover();
    qInfo() << "~SourceManager";
    std::map<QByteArray, SourceInfo> table; // connections are released outside the lock
    {
        std::unique_lock lock(m_tableLock);
        table.swap(m_table);
    }
}

QString SourceManager::hostOf(const QString &address)
{
    return address.section(QLatin1Char(':'), 0, 0);
}

std::map<QByteArray, SourceInfo>::iterator SourceManager::findLocked(const QString &sourceName)
{
    return m_table.find(sourceName.toLocal8Bit());
}

void SourceManager::setConnectionFactory(ConnectionFactory factory)
{
    m_connectionFactory = std::move(factory);
}

void SourceManager::setSourceLister(SourceLister lister)
{
    m_sourceLister = std::move(lister);
}

// ------------------------------------------------------------------ slots

void SourceManager::setNDIManualTargets(QString groups, QString ips)
{
    std::unique_lock lock(m_tableLock);
    if (groups == m_groups && ips == m_ips)
        return;
    m_groups = groups;
    m_ips = ips.split(QLatin1Char(',')).join(QLatin1Char(','));
    m_refreshRequested = true;
    qInfo() << "NDI discovery targets changed, groups:" << m_groups << "addresses:" << m_ips;
}

void SourceManager::setNDIInterfaces(QString interfaces)
{
    std::unique_lock lock(m_tableLock);
    if (interfaces == m_interfaces)
        return;
    m_interfaces = interfaces;
    m_refreshRequested = true;
    qInfo() << "NDI discovery interfaces changed:" << m_interfaces;
}

void SourceManager::forceRefresh()
{
    m_refreshRequested = true;
}

void SourceManager::startDiscover()
{
    if (!m_shutDown)
        start(QThread::InheritPriority);
}

void SourceManager::stopDiscover()
{
    delete m_network;
    m_network = nullptr;
    m_stopRequested = true;
    wait();
    m_loopsEnded.load(std::memory_order_acquire); // the loop's writes are visible from here
    m_stopRequested = false;
}

void SourceManager::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    stopDiscover();
    std::map<QByteArray, SourceInfo> table; // connections are stopped outside the lock
    {
        std::unique_lock lock(m_tableLock);
        table.swap(m_table);
    }
    int stopped = 0;
    for (auto &entry : table) {
        if (entry.second.connection) {
            entry.second.connection->stop();
            ++stopped;
        }
    }
    table.clear();
    MediaReaper::shutdown();
    qInfo() << "sources: discovery ended," << stopped << "connections stopped and released";
}

bool SourceManager::stickSource(QString sourceName, bool en)
{
    MediaConnectionPtr connection = getConnection(sourceName);
    if (!connection)
        return false;
    connection->start();
    return connection->setSticked(en);
}

bool SourceManager::isSourceSticked(QString sourceName)
{
    MediaConnectionPtr connection = getConnection(sourceName);
    return connection && connection->isSticked();
}

QString SourceManager::getSourceAddress(QString sourceName)
{
    return getAddress(sourceName);
}

QString SourceManager::getAddress(QString sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it == m_table.end() ? QString() : it->second.address;
}

QString SourceManager::getWebUrl(QString sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it == m_table.end() ? QString() : QString::fromUtf8(it->second.caps.web_url);
}

QString SourceManager::getTalkUrl(QString sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it == m_table.end() ? QString() : QString::fromUtf8(it->second.caps.talk_url);
}

bool SourceManager::getSupportPTZ(QString sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it != m_table.end() && it->second.caps.support_ptz;
}

bool SourceManager::getSupportKVM(QString sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it != m_table.end() && it->second.caps.support_kvm;
}

// ------------------------------------------------------------------ queries

MediaConnectionPtr SourceManager::getConnection(const QString &sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it == m_table.end() ? MediaConnectionPtr() : it->second.connection;
}

QString SourceManager::getDeviceVendor(const QString &sourceName)
{
    std::unique_lock lock(m_tableLock);
    auto it = findLocked(sourceName);
    return it == m_table.end() ? QString() : it->second.device_vendor;
}

QString SourceManager::groups()
{
    std::unique_lock lock(m_tableLock);
    return m_groups;
}

QString SourceManager::ips()
{
    std::unique_lock lock(m_tableLock);
    return m_ips;
}

QString SourceManager::interfaces()
{
    std::unique_lock lock(m_tableLock);
    return m_interfaces;
}

int SourceManager::sourceCount()
{
    std::unique_lock lock(m_tableLock);
    return int(m_table.size());
}

QJsonObject SourceManager::getSourcesJson()
{
    QJsonObject reply{{"result", "ok"}};
    std::unique_lock lock(m_tableLock);
    if (m_table.empty())
        return reply;
    QJsonArray data;
    for (const auto &[key, info] : m_table) {
        data.append(QJsonObject{
            {"id", info.name},
            {"stream_id", info.name},
            {"name", info.name},
            {"ip", info.address},
            {"url", QString::fromUtf8(info.caps.web_url)},
            {"official", info.device_vendor == QLatin1String("Varimont")},
            {"switch", info.connection && info.connection->isSticked()},
        });
    }
    reply.insert("data", data);
    return reply;
}

// ------------------------------------------------------------------ discovery

MediaConnectionPtr SourceManager::makeConnection(const QString &name, const QString &address)
{
    if (m_connectionFactory)
        return m_connectionFactory(name, address);
    auto *connection = new NDIConnection;
    connection->setSource(MediaConnection::Both, name, address);
    // Made on the discovery thread; belongs with the other QObjects on the manager's thread.
    connection->moveToThread(thread());
    return MediaReaper::makeShared<MediaConnection>(connection);
}

void SourceManager::updateSourceList(const QList<FoundSource> &found, qint64 nowMs)
{
    {
        std::unique_lock lock(m_tableLock);
        for (auto &entry : m_table)
            entry.second.online = false;
    }
    bool listChanged = false;
    for (const FoundSource &source : found) {
        const QString name = QString::fromUtf8(source.name);
        const QString address = QString::fromUtf8(source.address);
        if (name.isEmpty())
            continue;
        const QByteArray key = name.toLocal8Bit();
        bool known = false;
        bool addressChanged = false;
        {
            std::unique_lock lock(m_tableLock);
            auto it = m_table.find(key);
            if (it != m_table.end()) {
                known = true;
                addressChanged = it->second.address != address;
                it->second.address = address;
                it->second.online = true;
                it->second.last_seen_ms = nowMs;
            }
        }
        if (known) {
            if (addressChanged) {
                qInfo() << "source address changed:" << name << "now at" << address;
                emit sourceAddressChanged(name, address);
            }
            continue;
        }
        emit updateProductType(hostOf(address));
        MediaConnectionPtr connection = makeConnection(name, address);
        if (connection) {
            connect(connection.get(), &MediaConnection::updateCapabilities, this,
                    &SourceManager::updateCapabilities, Qt::QueuedConnection);
        }
        qInfo() << "source found:" << name << "at" << address;
        SourceInfo info;
        info.name = QString::fromUtf8(key);
        info.address = address;
        info.connection = std::move(connection);
        info.online = true;
        info.last_seen_ms = nowMs;
        std::unique_lock lock(m_tableLock);
        m_table[key] = std::move(info);
        listChanged = true;
    }

    QStringList removed;
    std::vector<MediaConnectionPtr> released; // dropped after the lock
    {
        std::unique_lock lock(m_tableLock);
        for (auto it = m_table.begin(); it != m_table.end();) {
            if (!it->second.online && nowMs - it->second.last_seen_ms >= kAgeOutMs) {
                released.push_back(std::move(it->second.connection));
                removed.append(it->second.name);
                it = m_table.erase(it);
            } else {
                ++it;
            }
        }
    }
    released.clear();
    for (const QString &name : removed) {
        qInfo() << "source gone:" << name;
        emit sourceUpdated("none", name, "", "", "", false, false);
    }
    if (listChanged || !removed.isEmpty())
        emit sourceListChanged();
}

bool SourceManager::listSources(QList<FoundSource> *found)
{
    if (m_sourceLister) {
        const bool recreate = m_refreshRequested.exchange(false);
        const QString groupsNow = groups();
        const QString ipsNow = ips();
        if (!m_sourceLister(groupsNow, ipsNow, recreate, found)) {
            m_refreshRequested = true;
            return false;
        }
        return true;
    }
    if (!ensureNdiFind())
        return false;
    uint32_t count = 0;
    const NDIlib_source_t *list = enumNdiFindSources(&count);
    for (uint32_t i = 0; list && i < count; ++i)
        found->append({QByteArray(list[i].p_ndi_name), QByteArray(list[i].p_url_address)});
    return true;
}

void SourceManager::run()
{
    while (!m_stopRequested) {
        QList<FoundSource> found;
        if (!listSources(&found)) {
            qWarning() << "ERROR: Fail to create NDI finder!";
            for (int waited = 0; waited < kFinderRetryMs && !m_stopRequested; waited += 50)
                QThread::msleep(50);
            continue;
        }
        updateSourceList(found, MediaConnection::nowMs());
    }
    destroyNdiFind();
    m_loopsEnded.fetch_add(1, std::memory_order_release);
}

bool SourceManager::ensureNdiFind()
{
    if (m_refreshRequested.exchange(false))
        destroyNdiFind();
    if (m_finder)
        return true;
    const NdiLibrary *lib = NdiLibrary::instance();
    if (!lib) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            qWarning() << "no NDI runtime:" << QString::fromStdString(NdiLibrary::instanceError());
        return false;
    }
    QByteArray groups8;
    QByteArray ips8;
    QString interfaces;
    {
        std::unique_lock lock(m_tableLock);
        groups8 = m_groups.toUtf8();
        ips8 = m_ips.toUtf8();
        interfaces = m_interfaces;
    }
    if (!interfaces.isEmpty())
        DiscoveryInterfaces::exportToRuntime(interfaces);
    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    settings.p_groups = groups8.isEmpty() ? nullptr : groups8.constData();
    settings.p_extra_ips = ips8.isEmpty() ? nullptr : ips8.constData();
    m_finder = makeNdiFinder(*lib, &settings);
    if (m_finder)
        qInfo() << "NDI finder created, groups:" << groups8 << "addresses:" << ips8
                << "interfaces:" << qgetenv(DiscoveryInterfaces::kEnvironment);
    return bool(m_finder);
}

const NDIlib_source_t *SourceManager::enumNdiFindSources(uint32_t *p_no_sources)
{
    *p_no_sources = 0;
    const NdiLibrary *lib = NdiLibrary::instance();
    if (!m_finder || !lib)
        return nullptr;
    (*lib)->find_wait_for_sources(m_finder.get(), 200);
    return (*lib)->find_get_current_sources(m_finder.get(), p_no_sources);
}

void SourceManager::updateNdiSources(const NDIlib_source_t *p_sources, int no_sources)
{
    QList<FoundSource> found;
    for (int i = 0; p_sources && i < no_sources; ++i)
        found.append({QByteArray(p_sources[i].p_ndi_name), QByteArray(p_sources[i].p_url_address)});
    updateSourceList(found, MediaConnection::nowMs());
}

void SourceManager::destroyNdiFind()
{
    m_finder.reset();
}

// ------------------------------------------------------------------ capabilities

void SourceManager::updateCapabilities(QString name, int bw)
{
    bool changed = false;
    bool ntpChanged = false;
    SourceInfo snapshot;
    {
        std::unique_lock lock(m_tableLock);
        auto it = findLocked(name);
        if (it == m_table.end())
            return;
        SourceInfo &info = it->second;
        if (!info.connection) {
            qWarning() << "get connection_ptr is null :" << name;
            return;
        }
        CapabilitiesPtr caps = info.connection->getCapabilities(bw);
        if (!caps) {
            qWarning() << "getCapabilities failed :" << name << info.address;
            return;
        }
        Media_capabilities_t &mine = info.caps;
        auto copy = [](auto &to, const auto &from, bool &flag) {
            if (to != from) {
                to = from;
                flag = true;
            }
        };
        copy(mine.type, caps->type, changed);
        copy(mine.web_url, caps->web_url, changed);
        copy(mine.talk_url, caps->talk_url, changed);
        mine.has_video = caps->has_video;
        mine.has_audio = caps->has_audio;
        mine.has_metadata = caps->has_metadata;
        copy(mine.support_kvm, caps->support_kvm, changed);
        copy(mine.support_ptz, caps->support_ptz, changed);
        mine.vendor = caps->vendor;
        if (!mine.vendor.isEmpty()) {
            copy(mine.ntp_state, caps->ntp_state, ntpChanged);
            copy(mine.ntp_server, caps->ntp_server, ntpChanged);
            bool takeBitrate = caps->bitrate >= 1;
            if (caps->bitrate < 1) {
                if (++m_zeroBitrateCount >= kZeroBitrateReports) {
                    m_zeroBitrateCount = 0;
                    takeBitrate = true;
                }
            } else {
                m_zeroBitrateCount = 0;
            }
            if (takeBitrate)
                copy(mine.bitrate, caps->bitrate, ntpChanged);
        }
        if (!changed && !ntpChanged)
            return;
        snapshot.name = info.name;
        snapshot.address = info.address;
        snapshot.caps = mine;
    }
    const Media_capabilities_t &c = snapshot.caps;
    if (ntpChanged) {
        emit ntpUpdated(QString::fromUtf8(c.type), snapshot.name, QString::fromUtf8(c.ntp_state),
                        c.bitrate, QString::fromUtf8(c.vendor), QString::fromUtf8(c.ntp_server));
    } else {
        emit sourceUpdated(QString::fromUtf8(c.type), snapshot.name, snapshot.address,
                           QString::fromUtf8(c.web_url), QString::fromUtf8(c.talk_url),
                           c.support_ptz, c.support_kvm);
    }
}

// ------------------------------------------------------------------ device probe

void SourceManager::productType(QString ip)
{
    int port = 80;
    bool ok = false;
    const int override = qEnvironmentVariableIntValue(kProbePortEnv, &ok);
    if (ok && override > 0 && override < 65536)
        port = override;
    const QUrl url(QStringLiteral("http://%1:%2/api/v1/firmware/get").arg(ip).arg(port),
                   QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setRawHeader("platform", kPlatformToken);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    if (m_network)
        m_network->post(request, QByteArray());
}

void SourceManager::replyFinished(QNetworkReply *reply)
{
    const QByteArray body = reply->readAll();
    const QString host =
        reply->url().toString().split(QLatin1Char('/')).value(2).section(QLatin1Char(':'), 0, 0);
    const QString vendor = body.contains("ndiVersion") && body.contains("firmwareVersion")
                               ? QStringLiteral("Varimont")
                               : QStringLiteral("Other");
    setDeviceVendor(host, vendor);
    reply->deleteLater();
}

void SourceManager::setDeviceVendor(const QString &host, const QString &vendor)
{
    std::unique_lock lock(m_tableLock);
    for (auto &entry : m_table) {
        if (hostOf(entry.second.address) == host) {
            entry.second.device_vendor = vendor;
            return;
        }
    }
}
