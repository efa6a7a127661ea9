// InterfaceSelection: the network interfaces on which discovery multicasts (announcements,
// queries) and hears others. Chosen through DESK_RECORDER_NDI_INTERFACES:
//   "all" (or unset, empty)  every multicast-capable interface that is up (the default)
//   "none"                   no multicast at all: discovery stays on this host (the same-host
//                            registry) plus the extra addresses that finders ask directly
//   "eth1,10.0.0.5"          the interfaces of those names (an alias such as "eth1:0" counts
//                            as eth1) or holding those IPv4 addresses
// Stream connections and extra-address queries follow the routing table as before.
//
// A value type without shared state: any thread.
#pragma once

#include "Socket.h"

#include <string>
#include <vector>

namespace drndi {

class InterfaceSelection
{
public:
    static constexpr const char *kEnvironment = "DESK_RECORDER_NDI_INTERFACES";
    enum class Mode
    {
        All,
        None,
        Listed
    };

    // Entries that can be neither an IPv4 address nor an interface name are left out and
    // listed in ignored(). A list whose every entry is left out chooses no interface.
    static InterfaceSelection parse(const std::string &text);
    static InterfaceSelection fromEnvironment();

    Mode mode() const { return m_mode; }
    // Whether discovery uses this interface address (multicast-capable and chosen).
    bool allows(const LocalInterface &address) const;
    // The chosen addresses among the machine's interfaces now.
    std::vector<LocalInterface> chosenNow() const;
    // Whether a datagram that arrived on interface `index` is heard (All hears every one).
    bool hears(int index) const;
    // The address other hosts reach this host at: the first chosen address, else
    // primaryAddress().
    std::string hostAddress() const;
    // "all", "none" or the entries joined by "," (addresses in dotted form).
    std::string text() const;
    // The entries left out by parse, joined by ","; empty when none were.
    const std::string &ignored() const { return m_ignored; }

    bool operator==(const InterfaceSelection &other) const = default;

private:
    Mode m_mode = Mode::All;
    std::vector<std::string> m_entries; // in the given order, without repeats
    std::string m_ignored;
};

} // namespace drndi
