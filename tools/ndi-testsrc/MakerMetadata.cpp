#include "MakerMetadata.h"

#include "ndi/XmlText.h"

#include <array>
#include <cctype>
#include <utility>

MakerMetadata::MakerMetadata(std::string server, int bitrateKbps, int syncOverride)
    : m_server(std::move(server)), m_bitrateKbps(bitrateKbps), m_syncOverride(syncOverride)
{
}

std::string MakerMetadata::element() const
{
    const int sync = m_syncOverride >= 0 ? m_syncOverride : (m_server.empty() ? 0 : 1);
    return "<Varimont><remote>" + escape(m_server) + "</remote><bitrate>" +
           std::to_string(m_bitrateKbps) + "</bitrate><sync>" + std::to_string(sync) +
           "</sync></Varimont>";
}

std::optional<std::string> MakerMetadata::handle(std::string_view xml)
{
    auto server = parseNtpSet(xml);
    if (server)
        m_server = *server;
    return server;
}

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Finds <name> or <name attr...> (not <name-other>) from `from`; returns the index just
// past its '>' or npos.
size_t openTagEnd(std::string_view xml, std::string_view name, size_t from = 0)
{
    for (size_t at = xml.find('<', from); at != std::string_view::npos;
         at = xml.find('<', at + 1)) {
        const std::string_view rest = xml.substr(at + 1);
        if (rest.substr(0, name.size()) != name || rest.size() == name.size())
            continue;
        const char next = rest[name.size()];
        if (next != '>' && next != '/' && !std::isspace(static_cast<unsigned char>(next)))
            continue;
        const size_t close = xml.find('>', at);
        if (close == std::string_view::npos || xml[close - 1] == '/')
            return std::string_view::npos; // unterminated or empty element
        return close + 1;
    }
    return std::string_view::npos;
}

} // namespace

std::optional<std::string> MakerMetadata::parseNtpSet(std::string_view xml)
{
    xml = trim(xml);
    // The request is the ntp-set element itself, not text that merely mentions it.
    if (xml.substr(0, 8) != "<ntp-set")
        return std::nullopt;
    const size_t root = openTagEnd(xml, "ntp-set");
    if (root == std::string_view::npos || xml.find("</ntp-set>", root) == std::string_view::npos)
        return std::nullopt;
    const size_t start = openTagEnd(xml, "Server", root);
    if (start == std::string_view::npos)
        return std::nullopt;
    const size_t end = xml.find("</Server>", start);
    if (end == std::string_view::npos)
        return std::nullopt;
    return unescape(trim(xml.substr(start, end - start)));
}

std::string MakerMetadata::escape(std::string_view text)
{
    return drndi::xmlEscape(text);
}

std::string MakerMetadata::unescape(std::string_view text)
{
    return drndi::xmlUnescape(text);
}
