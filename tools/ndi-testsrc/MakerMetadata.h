// The status element that a device of the maker "Varimont" sends to its receivers, and
// the "ntp-set" request it answers:
//   sent:     <Varimont><remote>SERVER</remote><bitrate>KBPS</bitrate><sync>N</sync></Varimont>
//   received: <ntp-set><Server>SERVER</Server></ntp-set>
// After an ntp-set the element reports that server in "remote" and sync 1 (unless a
// fixed sync value was given).
//
// Thread: belongs to its source's sender thread; no locks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class MakerMetadata
{
public:
    // syncOverride < 0: sync is 1 while a server is set, 0 without one.
    MakerMetadata(std::string server, int bitrateKbps, int syncOverride);

    std::string element() const;
    const std::string &server() const { return m_server; }

    // When `xml` is an ntp-set request, adopts its server and returns it.
    std::optional<std::string> handle(std::string_view xml);

    // The server of an ntp-set request, or nothing when `xml` is not one. Entities in the
    // server text are decoded.
    static std::optional<std::string> parseNtpSet(std::string_view xml);
    static std::string escape(std::string_view text);
    static std::string unescape(std::string_view text);

private:
    std::string m_server;
    int m_bitrateKbps;
    int m_syncOverride;
};
