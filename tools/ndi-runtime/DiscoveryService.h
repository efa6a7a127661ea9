// DiscoveryService: the process-wide part of source discovery, shared by every finder,
// sender and receiver of the process (acquire() keeps it alive; the last holder stops it).
//
// How sources are found:
//  - Same host: each sender writes one small file into a per-network-namespace registry
//    folder (/tmp/desk-recorder-ndi-<netns inode>, or DESK_RECORDER_NDI_REGISTRY). The service
//    scans it every 100 ms; files of processes that no longer exist are removed, so a killed
//    sender vanishes at once and a clean one when it deletes its file.
//  - Other hosts: every process with senders multicasts an announcement of its sources
//    (group 239.255.59.60, UDP port 5960 or DESK_RECORDER_NDI_DISCOVERY_PORT) each second
//    on the chosen interfaces (InterfaceSelection: all multicast-capable ones by default,
//    none, or a list), and a "bye" when a sender ends. Remote entries
//    expire 5 s after their last announcement. A new finder multicasts a query, which senders
//    answer at once.
//  - Extra addresses: one process per host holding senders listens on TCP port 5960 (same
//    variable) and answers a source-list query with the host's registry. Finders ask the
//    hosts of their extra addresses once a second (see Finder).
//
// Threads: one service thread; public functions from any thread. m_mutex guards all state
// (m_udp and m_joined belong to the service thread). Lock order: announce's send lock, then
// m_mutex.
#pragma once

#include "WireFormat.h"

#include "InterfaceSelection.h"
#include "Socket.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drndi {

class DiscoveryService
{
public:
    enum class Origin
    {
        Local,
        Remote,
        Extra
    };
    struct Found
    {
        std::string name;
        std::string groups;
        std::string address; // "ip:port"
        Origin origin = Origin::Local;
    };

    static std::shared_ptr<DiscoveryService> acquire();
    ~DiscoveryService();

    // This process's senders. addLocalSource returns an id for removeLocalSource.
    uint64_t addLocalSource(const SourceEntry &entry);
    void removeLocalSource(uint64_t id);

    // Everything known now: this host's registry and the multicast-announced sources.
    std::vector<Found> snapshot();
    // Sources a finder learnt from an extra address (kept 5 s), so receivers can find them.
    void reportExtra(const std::string &ip, const std::vector<SourceEntry> &entries);
    // The address of a source by its full name; empty when unknown.
    std::string lookup(const std::string &fullName);

    // Bumped whenever the known set changes; waitForChange returns true when it moved past
    // `seen` within the timeout.
    uint64_t generation();
    bool waitForChange(uint64_t seen, int timeoutMs);
    void sendQuery(); // ask every host to announce now
    // The interfaces of multicast discovery; starts with the environment's choice, and
    // finders and senders pass it again when they are created. Sending follows a change at
    // once; within one service round the memberships follow, sources heard before are
    // forgotten and a query goes out on the new interfaces.
    void useInterfaces(const InterfaceSelection &selection);

    // Configuration read once from the environment.
    static uint16_t discoveryPort();
    static std::string registryDir();
    static std::string hostName(); // upper-case machine name used in full source names
    static std::string localHostAddress();

    // The sources of this host (all processes) as listed in the registry.
    std::vector<SourceEntry> readRegistry();

private:
    DiscoveryService();
    void run();
    void scanRegistry();
    void setupMulticast();
    void joinGroups(); // and leaves them where no longer chosen
    InterfaceSelection interfaces();
    void announce(AnnounceKind kind, const std::vector<SourceEntry> &entries);
    void receiveDatagrams();
    void serveListQuery();
    void expire();
    std::vector<SourceEntry> localEntries();
    void bump(); // call with m_mutex held

    struct Remote
    {
        std::string groups;
        int64_t lastSeenMs = 0;
    };

    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_generation = 1;
    std::map<uint64_t, SourceEntry> m_local; // this process's senders
    std::map<uint64_t, std::string> m_localFiles;
    uint64_t m_nextId = 1;
    std::vector<SourceEntry> m_registry;                            // last scan
    std::map<std::pair<std::string, std::string>, Remote> m_remote; // (name, address)
    std::map<std::pair<std::string, std::string>, Remote> m_extra;
    bool m_queryRequested = false;
    bool m_announceNow = false;
    InterfaceSelection m_interfaces = InterfaceSelection::fromEnvironment();
    std::atomic<bool> m_interfacesChanged{false};

    FdHandle m_udp;
    FdHandle m_listServer;
    FdHandle m_wakeRead, m_wakeWrite;
    std::vector<int> m_joined; // interface indexes the group was joined on
    int64_t m_lastAnnounceMs = 0;
    int64_t m_lastAnswerMs = 0;
    int64_t m_lastBindTryMs = 0;
    int64_t m_lastJoinMs = 0;
    bool m_registryUsable = true; // set once in the constructor
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace drndi
