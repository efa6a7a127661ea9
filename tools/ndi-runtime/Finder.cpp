#include "Finder.h"

#include "DiscoveryService.h"
#include "Log.h"
#include "Socket.h"
#include "WireParser.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace drndi {

namespace {
constexpr int kExtraPollMs = 1000;
constexpr int kExtraTimeoutMs = 800;

// Asks one host for its source list; false when it did not answer properly.
// `ip` receives the address that was asked (host names are resolved).
bool askHost(const std::string &host, std::vector<SourceEntry> *out, std::string *why,
             std::string *ip, int cancelFd)
{
    sockaddr_in addr{};
    if (!parseHostPort(host + ":" + std::to_string(DiscoveryService::discoveryPort()), &addr)) {
        // A host name: resolve it (IPv4 only, like the rest of discovery).
        addrinfo hints{}, *res = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
            *why = "not an IPv4 address or known host name";
            return false;
        }
        addr = *reinterpret_cast<sockaddr_in *>(res->ai_addr);
        addr.sin_port = htons(DiscoveryService::discoveryPort());
        freeaddrinfo(res);
    }
    *ip = ipText(addr.sin_addr);
    FdHandle fd = connectTcp(addr, kExtraTimeoutMs, why, cancelFd);
    if (!fd.valid())
        return false;
    Packet query = encodeListQuery();
    if (!sendAll(fd.get(), query->data(), query->size())) {
        *why = "cannot send the query";
        return false;
    }
    WireParser parser;
    int64_t deadline = steadyMs() + kExtraTimeoutMs;
    for (;;) {
        int64_t left = deadline - steadyMs();
        if (left <= 0 || !waitReadable(fd.get(), int(left), cancelFd)) {
            *why = "no answer";
            return false;
        }
        ssize_t n = ::recv(fd.get(), parser.buffer(), parser.wanted(), 0);
        if (n <= 0) {
            *why = "closed without an answer";
            return false;
        }
        auto r = parser.commit(size_t(n));
        if (r == WireParser::Result::Error) {
            *why = parser.error();
            return false;
        }
        if (r == WireParser::Result::Message)
            break;
    }
    if (parser.type() != uint16_t(MsgType::ListReply)) {
        *why = "unexpected answer";
        return false;
    }
    return decodeListReply(*parser.takePayload(), out, why);
}
} // namespace

std::set<std::string> Finder::splitList(const std::string &text, bool lowerCase)
{
    std::set<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(start, end - start);
        auto notSpace = [](unsigned char c) { return !std::isspace(c); };
        part.erase(part.begin(), std::find_if(part.begin(), part.end(), notSpace));
        part.erase(std::find_if(part.rbegin(), part.rend(), notSpace).base(), part.end());
        if (lowerCase)
            for (char &c : part)
                c = char(std::tolower(static_cast<unsigned char>(c)));
        if (!part.empty())
            out.insert(part);
        start = end + 1;
    }
    return out;
}

Finder::Finder(const NDIlib_find_create_t *settings) : m_discovery(DiscoveryService::acquire())
{
    std::string groups = "public";
    std::string extra;
    if (const char *env = std::getenv("DESK_RECORDER_NDI_EXTRA_IPS"))
        extra = env;
    if (settings) {
        m_showLocal = settings->show_local_sources;
        if (settings->p_groups && *settings->p_groups)
            groups = settings->p_groups;
        if (settings->p_extra_ips)
            extra = settings->p_extra_ips;
    }
    m_groups = splitList(groups, true);
    for (const auto &h : splitList(extra, false))
        m_extraHosts.push_back(h);
    m_discovery->useInterfaces(InterfaceSelection::fromEnvironment());
    m_discovery->sendQuery();
    m_cancel.open();
    if (!m_extraHosts.empty())
        m_extraThread = std::thread([this] { pollExtra(); });
}

Finder::~Finder()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_cancel.cancel();
    if (m_extraThread.joinable())
        m_extraThread.join();
}

void Finder::pollExtra()
{
    std::map<std::string, std::string> lastError;
    for (;;) {
        for (const auto &host : m_extraHosts) {
            std::vector<SourceEntry> entries;
            std::string why, ip;
            bool ok = askHost(host, &entries, &why, &ip, m_cancel.fd());
            if (!ok && lastError[host] != why && why != "cancelled")
                logLine("extra address %s: %s", host.c_str(), why.c_str());
            lastError[host] = ok ? std::string() : why;
            if (ok)
                m_discovery->reportExtra(ip, entries);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            if (ok) {
                m_extra[host] = {ip, entries};
            } else {
                m_extra.erase(host);
            }
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_cv.wait_for(lock, std::chrono::milliseconds(kExtraPollMs), [&] { return m_stop; }))
            return;
    }
}

std::vector<Finder::Listed> Finder::compute()
{
    auto inGroups = [&](const std::string &groups) {
        for (const auto &g : splitList(groups.empty() ? "public" : groups, true))
            if (m_groups.count(g))
                return true;
        return false;
    };
    std::vector<Listed> list;
    std::set<std::string> names;
    auto add = [&](const std::string &name, const std::string &groups, const std::string &address) {
        if (!inGroups(groups) || names.count(name))
            return;
        names.insert(name);
        list.push_back(Listed{name, address});
    };
    auto found = m_discovery->snapshot();
    for (const auto &f : found)
        if (f.origin == DiscoveryService::Origin::Local && m_showLocal)
            add(f.name, f.groups, f.address);
    for (const auto &f : found)
        if (f.origin == DiscoveryService::Origin::Remote)
            add(f.name, f.groups, f.address);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &h : m_extra)
            for (const auto &e : h.second.second)
                add(e.name, e.groups, h.second.first + ":" + std::to_string(e.port));
    }
    std::sort(list.begin(), list.end(),
              [](const Listed &a, const Listed &b) { return a.name < b.name; });
    return list;
}

bool Finder::waitForSources(uint32_t timeoutMs)
{
    auto deadline = steadyMs() + int64_t(timeoutMs);
    std::vector<Listed> last;
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        last = m_lastReturned;
    }
    for (;;) {
        uint64_t gen = m_discovery->generation();
        if (!(compute() == last))
            return true;
        int64_t left = deadline - steadyMs();
        if (left <= 0)
            return false;
        // Extra-address results do not bump the generation: look again at least every 100 ms.
        m_discovery->waitForChange(gen, int(std::min<int64_t>(left, 100)));
    }
}

const NDIlib_source_t *Finder::currentSources(uint32_t *count)
{
    auto list = compute();
    std::lock_guard<std::mutex> lock(m_listMutex);
    m_lastReturned = list;
    m_storage = std::move(list);
    m_array.clear();
    for (const auto &l : m_storage) {
        NDIlib_source_t s;
        s.p_ndi_name = l.name.c_str();
        s.p_url_address = l.address.c_str();
        m_array.push_back(s);
    }
    if (count)
        *count = uint32_t(m_array.size());
    return m_array.empty() ? nullptr : m_array.data();
}

} // namespace drndi
