// Finder: one NDIlib_find_instance_t. Lists the sources that DiscoveryService knows (this
// host's when show_local_sources is set, and the multicast-announced ones) plus those of the
// hosts named in its extra addresses, which a thread of its own asks once a second over TCP.
// Only sources sharing a group with the finder are listed (groups compare case-insensitively,
// "public" by default); a name heard through several ways is listed once (this host first).
// Creating a finder hands DESK_RECORDER_NDI_INTERFACES (read then) to the discovery service,
// so a process changes its discovery interfaces by setting the variable and making a new finder.
//
// Threads: the extra-address thread; the public functions from application threads (not
// concurrently on one finder for currentSources, as the interface demands).
// m_mutex guards m_extra and m_stop; m_listMutex guards the returned array.
#pragma once

#include "ndi/NdiApi.h"

#include "CancelPipe.h"
#include "Socket.h"
#include "WireFormat.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace drndi {

class DiscoveryService;

class Finder
{
public:
    explicit Finder(const NDIlib_find_create_t *settings);
    ~Finder();

    bool waitForSources(uint32_t timeoutMs);
    const NDIlib_source_t *currentSources(uint32_t *count);

    // "a, B ,c" -> {"a","b","c"} (lower case, trimmed, empty parts dropped).
    static std::set<std::string> splitList(const std::string &text, bool lowerCase);

private:
    struct Listed
    {
        std::string name, address;
        bool operator==(const Listed &o) const { return name == o.name && address == o.address; }
    };
    std::vector<Listed> compute();
    void pollExtra();

    std::shared_ptr<DiscoveryService> m_discovery;
    bool m_showLocal = true;
    std::set<std::string> m_groups;
    std::vector<std::string> m_extraHosts;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    // host -> (its IPv4 address, its sources)
    std::map<std::string, std::pair<std::string, std::vector<SourceEntry>>> m_extra;
    CancelPipe m_cancel; // cancelled once, on destruction: abandon a host query in progress
    std::thread m_extraThread;

    std::mutex m_listMutex;
    std::vector<Listed> m_lastReturned;
    std::vector<Listed> m_storage;
    std::vector<NDIlib_source_t> m_array;
};

} // namespace drndi
