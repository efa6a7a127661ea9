// The source table and the discovery loop: one record per NDI source name with its address,
// capabilities, device vendor and its one shared MediaConnection. Process-wide (instance()),
// published to QML as "sourceManager"; its slots are called from QML, the control service and
// the HTTP API.
//
// Threads: the object lives on the main thread (slots, updateCapabilities, the device
// probe); run() is the discovery loop on its own thread; getConnection/getAddress are called
// from render, audio and recording threads too.
// Connections are NDIConnections by default (setConnectionFactory replaces them), and are
// destroyed off the GUI thread when their last holder lets go there.
// Locks: m_tableLock guards m_table, m_groups, m_ips, m_interfaces and m_zeroBitrateCount. It
// is never held while a signal is emitted. Taken before a connection's own locks (isSticked,
// getCapabilities), never after them. m_refreshRequested/m_stopRequested are atomics.
#pragma once

#include "discovery/SourceInfo.h"
#include "ndi/NdiLibrary.h"

#include <QByteArray>
#include <QJsonObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

class QNetworkAccessManager;
class QNetworkReply;
class SourceFinder;

class SourceManager : public QThread
{
    Q_OBJECT
public:
    static constexpr qint64 kAgeOutMs = 5000;   // a source unlisted this long is removed
    static constexpr int kFinderRetryMs = 1000; // pause after a failed finder creation
    static constexpr int kZeroBitrateReports = 10;
    // Sent in the "platform" header of the firmware query.
    static constexpr const char *kPlatformToken = "desk-recorder-firmware-query-client-session";
    // Environment variable that replaces the firmware query's port 80 (for tests).
    static constexpr const char *kProbePortEnv = "DR_DEVICE_PROBE_PORT";

    struct FoundSource
    {
        QByteArray name;    // UTF-8
        QByteArray address; // UTF-8 "host:port"
    };
    // Makes the connection of a newly found source (already given its source).
    using ConnectionFactory =
        std::function<MediaConnectionPtr(const QString &name, const QString &address)>;
    // Lists the sources on the network; replaces the NDI finder (for tests).
    using SourceLister = std::function<bool(const QString &groups, const QString &ips,
                                            bool recreate, QList<FoundSource> *found)>;

    // The process-wide manager, created on first use (on the main thread) and destroyed at exit.
    static SourceManager *instance();
    explicit SourceManager(QObject *parent = nullptr);
    ~SourceManager() override;

    // Shared connection of a source; empty for an unknown source or one without connection.
    // The caller keeps it alive while holding it, even after the source left the table.
    MediaConnectionPtr getConnection(const QString &sourceName);
    // Vendor found by the device probe ("Varimont"/"Other"); empty for an unknown name.
    QString getDeviceVendor(const QString &sourceName);
    // {"result":"ok"} for an empty table, else {"result":"ok","data":[...]} in key order.
    QJsonObject getSourcesJson();
    QString groups();
    QString ips();
    QString interfaces();
    int sourceCount();
    // Stores the probe's answer in the first record (key order) on that host.
    void setDeviceVendor(const QString &host, const QString &vendor);

    // One table update from a finder round at steady time nowMs (discovery thread).
    void updateSourceList(const QList<FoundSource> &found, qint64 nowMs);
    // Seams; set before startDiscover(). Defaults: NDI connections and the NDI finder.
    void setConnectionFactory(ConnectionFactory factory);
    void setSourceLister(SourceLister lister);

    // The media side of the application's shutdown (main thread), after every other holder
    // of a connection let go: ends and joins the discovery loop (its finder is destroyed on
    // its thread), ends and joins every connection's threads and releases its receivers,
    // empties the table and joins the reaper that destroys them. Discovery goes first since
    // it makes and drops connections. Afterwards no thread of this manager or of a
    // connection runs, and none is started again. Idempotent.
    void shutdown();

    static QString hostOf(const QString &address); // text before the first ':'

    // The NDI finder, used by the discovery loop only (discovery thread).
    // Creates the finder with the current groups and addresses unless one exists (a refresh
    // request destroys it first); false when the runtime is missing or refuses.
    bool ensureNdiFind();
    // Waits up to 200 ms for a change, then the finder's current list (null without finder).
    const NDIlib_source_t *enumNdiFindSources(uint32_t *p_no_sources);
    // One table update from the finder's list.
    void updateNdiSources(const NDIlib_source_t *p_sources, int no_sources);
    void destroyNdiFind();

public slots:
    void setNDIManualTargets(QString groups, QString ips);
    // The discovery-interface setting (DiscoveryInterfaces: "all", "none" or a list), put
    // into the runtime's environment before each finder creation; a change re-creates the
    // finder. Empty (the initial value) leaves the environment as it is.
    void setNDIInterfaces(QString interfaces);
    void forceRefresh();
    void startDiscover();
    void stopDiscover();
    bool stickSource(QString sourceName, bool en);
    bool isSourceSticked(QString sourceName);
    QString getSourceAddress(QString sourceName);
    QString getAddress(QString sourceName);
    QString getWebUrl(QString sourceName);
    QString getTalkUrl(QString sourceName);
    bool getSupportPTZ(QString sourceName);
    bool getSupportKVM(QString sourceName);
    void updateCapabilities(QString name, int bw);
    void productType(QString ip);
    void replyFinished(QNetworkReply *reply);

signals:
    // Capabilities of a source changed, or (type "none") the source disappeared.
    void sourceUpdated(QString type, QString srcName, QString address, QString web_url,
                       QString talk_url, bool support_ptz, bool support_kvm);
    void ntpUpdated(QString type, QString srcName, QString state, int bitrate, QString vendor,
                    QString server);
    // A new source appeared on host `ip` (discovery thread; runs productType on the main thread).
    void updateProductType(QString ip);
    // A known source's address changed. Emitted on the DISCOVERY THREAD: connect with
    // Qt::DirectConnection to hand it to the recording side at once (it guards itself).
    void sourceAddressChanged(QString name, QString address);
    // A source was added to or removed from the table (discovery thread).
    void sourceListChanged();

protected:
    void run() override;

private:
    std::map<QByteArray, SourceInfo>::iterator findLocked(const QString &sourceName);
    MediaConnectionPtr makeConnection(const QString &name, const QString &address);
    bool listSources(QList<FoundSource> *found);

    std::mutex m_tableLock;
    std::map<QByteArray, SourceInfo> m_table; // key: name in local 8-bit encoding
    QString m_groups = QStringLiteral("public");
    QString m_ips;
    QString m_interfaces;
    std::atomic<bool> m_refreshRequested{true};
    std::atomic<bool> m_stopRequested{false};
    bool m_shutDown = false; // main thread only
    std::atomic<int> m_loopsEnded{0}; // release at the loop's end, acquire after wait()
    int m_zeroBitrateCount = 0;
    QNetworkAccessManager *m_network = nullptr;
    NdiFinder m_finder; // discovery thread only
    ConnectionFactory m_connectionFactory;
    SourceLister m_sourceLister;
};
