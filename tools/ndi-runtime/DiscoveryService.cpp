#include "DiscoveryService.h"

#include "Log.h"
#include "WireParser.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

namespace drndi {

namespace {
constexpr const char *kMulticastGroup = "239.255.59.60";
constexpr int kAnnounceIntervalMs = 1000;
constexpr int kRemoteLifetimeMs = 5000;
constexpr int kScanIntervalMs = 100;
constexpr size_t kMaxRegistryFile = 4096;
constexpr size_t kMaxRemoteEntries = 4096; // bound on what the network can make us keep

// Process-lifetime state: never destroyed, so runtime threads still running at exit and
// objects the application destroys late (even from its own exit handlers) never reach state
// that the exit handlers already tore down. The same holds for the configuration strings
// below.
std::mutex g_serviceMutex; // trivially destructible
std::weak_ptr<DiscoveryService> &g_service = *new std::weak_ptr<DiscoveryService>;

std::string envOr(const char *name, const std::string &fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}
} // namespace

uint16_t DiscoveryService::discoveryPort()
{
    static const uint16_t port = [] {
        long v = std::atol(envOr("DESK_RECORDER_NDI_DISCOVERY_PORT", "5960").c_str());
        return uint16_t(v > 0 && v < 65536 ? v : 5960);
    }();
    return port;
}

std::string DiscoveryService::registryDir()
{
    static const std::string *const dir = new std::string([] {
        struct stat st
        {
        };
        unsigned long long ns = stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
        return envOr("DESK_RECORDER_NDI_REGISTRY", "/tmp/desk-recorder-ndi-" + std::to_string(ns));
    }());
    return *dir;
}

std::string DiscoveryService::hostName()
{
    static const std::string *const name = new std::string([] {
        char buf[256] = {};
        gethostname(buf, sizeof buf - 1);
        std::string h = envOr("DESK_RECORDER_NDI_HOSTNAME", buf[0] ? buf : "LOCALHOST");
        auto dot = h.find('.');
        if (dot != std::string::npos && dot > 0)
            h.resize(dot);
        for (char &c : h)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        return h;
    }());
    return *name;
}

std::string DiscoveryService::localHostAddress()
{
    return InterfaceSelection::fromEnvironment().hostAddress();
}

std::shared_ptr<DiscoveryService> DiscoveryService::acquire()
{
    std::lock_guard<std::mutex> lock(g_serviceMutex);
    auto s = g_service.lock();
    if (!s) {
        s.reset(new DiscoveryService);
        g_service = s;
    }
    return s;
}

DiscoveryService::DiscoveryService()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_wakeRead.reset(fds[0]);
        m_wakeWrite.reset(fds[1]);
    }
    std::string dir = registryDir();
    if (mkdir(dir.c_str(), 0777) == 0)
        chmod(dir.c_str(), 01777); // shared by every user's senders, like /tmp itself
    struct stat st
    {
    };
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        logLine("registry %s is not a folder: same-host discovery is off", dir.c_str());
        m_registryUsable = false;
    }
    setupMulticast();
    scanRegistry();
    m_thread = std::thread([this] { run(); });
}

DiscoveryService::~DiscoveryService()
{
    m_stop = true;
    if (m_wakeWrite.valid()) {
        char c = 1;
        ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
        (void)ignored;
    }
    if (m_thread.joinable())
        m_thread.join();
    for (auto &f : m_localFiles)
        unlink(f.second.c_str());
    // Leave no empty folder behind (for instance of a namespace that is gone); fails
    // harmlessly while other senders still have files there.
    rmdir(registryDir().c_str());
}

void DiscoveryService::bump()
{
    ++m_generation;
    m_cv.notify_all();
}

uint64_t DiscoveryService::addLocalSource(const SourceEntry &entry)
{
    uint64_t id;
    std::string file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_nextId++;
        m_local[id] = entry;
        file = registryDir() + "/" + std::to_string(getpid()) + "-" + std::to_string(id) + ".src";
        m_localFiles[id] = file;
        m_announceNow = true;
    }
    std::string tmp = file + ".tmp";
    if (!m_registryUsable)
        return id;
    auto writeFile = [&] {
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << "DRNR1\n" << entry.port << "\n" << entry.name << "\n" << entry.groups << "\n";
        }
        return rename(tmp.c_str(), file.c_str()) == 0;
    };
    bool written = writeFile();
    if (!written && errno == ENOENT) {
        // Another process removed the folder as it emptied: make it again and retry once.
        if (mkdir(registryDir().c_str(), 0777) == 0)
            chmod(registryDir().c_str(), 01777);
        written = writeFile();
    }
    if (!written)
        logLine("cannot register source \"%s\" in %s: %s", entry.name.c_str(),
                registryDir().c_str(), std::strerror(errno));
    chmod(file.c_str(), 0644);
    char c = 1;
    ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
    (void)ignored;
    return id;
}

void DiscoveryService::removeLocalSource(uint64_t id)
{
    SourceEntry entry;
    std::string file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_local.find(id);
        if (it == m_local.end())
            return;
        entry = it->second;
        m_local.erase(it);
        file = m_localFiles[id];
        m_localFiles.erase(id);
    }
    unlink(file.c_str());
    announce(AnnounceKind::Bye, {entry});
    char c = 1;
    ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
    (void)ignored;
}

std::vector<SourceEntry> DiscoveryService::localEntries()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SourceEntry> list;
    for (auto &e : m_local)
        list.push_back(e.second);
    return list;
}

std::vector<SourceEntry> DiscoveryService::readRegistry()
{
    std::vector<SourceEntry> list;
    if (!m_registryUsable)
        return list;
    std::string dir = registryDir();
    DIR *d = opendir(dir.c_str());
    if (!d)
        return list;
    const pid_t self = getpid();
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".src") != 0)
            continue;
        long pid = std::atol(name.c_str());
        std::string path = dir + "/" + name;
        if (pid <= 0)
            continue;
        if (pid != self && kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
            unlink(path.c_str()); // its sender was killed
            continue;
        }
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buf[kMaxRegistryFile + 1];
        ssize_t n = ::read(fd, buf, kMaxRegistryFile);
        ::close(fd);
        if (n <= 0)
            continue;
        std::string text(buf, size_t(n));
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                lines.push_back(text.substr(start, i - start));
                start = i + 1;
            }
        }
        if (lines.size() < 4 || lines[0] != "DRNR1")
            continue;
        long port = std::atol(lines[1].c_str());
        if (port <= 0 || port > 65535 || lines[2].empty())
            continue;
        list.push_back(SourceEntry{lines[2], lines[3], uint16_t(port)});
    }
    closedir(d);
    std::sort(list.begin(), list.end(), [](const SourceEntry &a, const SourceEntry &b) {
        return a.name != b.name ? a.name < b.name : a.port < b.port;
    });
    return list;
}

void DiscoveryService::scanRegistry()
{
    auto list = readRegistry();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (list != m_registry) {
        m_registry = std::move(list);
        bump();
    }
}

void DiscoveryService::setupMulticast()
{
    FdHandle fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return;
    int one = 1, zero = 0, ttl = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero);
    setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    // Hear the group only on the interfaces this socket joined, and learn where each
    // datagram came in (another process may have joined it elsewhere).
    setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(discoveryPort());
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        logLine("multicast discovery unavailable (UDP port %u: %s)", discoveryPort(),
                std::strerror(errno));
        return;
    }
    m_udp = std::move(fd);
    if (m_interfaces.mode() != InterfaceSelection::Mode::All)
        logLine(
            "discovery interfaces: %s%s%s", m_interfaces.text().c_str(),
            m_interfaces.ignored().empty() ? "" : "; ignored: ", m_interfaces.ignored().c_str());
    joinGroups();
}

InterfaceSelection DiscoveryService::interfaces()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_interfaces;
}

void DiscoveryService::useInterfaces(const InterfaceSelection &selection)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (selection == m_interfaces)
            return;
        m_interfaces = selection;
    }
    logLine("discovery interfaces now: %s%s%s", selection.text().c_str(),
            selection.ignored().empty() ? "" : "; ignored: ", selection.ignored().c_str());
    m_interfacesChanged = true;
    char c = 1;
    ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
    (void)ignored;
}

void DiscoveryService::joinGroups()
{
    if (!m_udp.valid())
        return;
    m_lastJoinMs = steadyMs();
    const bool changed = m_interfacesChanged.exchange(false);
    const auto chosen = interfaces().chosenNow();
    auto isChosen = [&](int index) {
        return std::any_of(chosen.begin(), chosen.end(),
                           [&](const LocalInterface &i) { return i.index == index; });
    };
    for (auto it = m_joined.begin(); it != m_joined.end();) {
        if (isChosen(*it)) {
            ++it;
            continue;
        }
        ip_mreqn req{};
        inet_pton(AF_INET, kMulticastGroup, &req.imr_multiaddr);
        req.imr_ifindex = *it;
        setsockopt(m_udp.get(), IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof req);
        it = m_joined.erase(it);
    }
    for (const auto &i : chosen) {
        if (std::find(m_joined.begin(), m_joined.end(), i.index) != m_joined.end())
            continue;
        ip_mreqn req{};
        inet_pton(AF_INET, kMulticastGroup, &req.imr_multiaddr);
        req.imr_ifindex = i.index;
        if (setsockopt(m_udp.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0 ||
            errno == EADDRINUSE)
            m_joined.push_back(i.index);
    }
    if (changed) {
        // What was heard may have come over interfaces no longer chosen: ask again.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_remote.empty()) {
            m_remote.clear();
            bump();
        }
        m_queryRequested = true;
    }
}

void DiscoveryService::announce(AnnounceKind kind, const std::vector<SourceEntry> &entries)
{
    if (!m_udp.valid())
        return;
    static std::mutex sendMutex; // IP_MULTICAST_IF + sendto must not interleave
    std::lock_guard<std::mutex> lock(sendMutex);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(discoveryPort());
    inet_pton(AF_INET, kMulticastGroup, &to.sin_addr);
    auto datagrams = encodeAnnouncements(kind, entries);
    for (const auto &i : interfaces().chosenNow()) {
        ip_mreqn req{};
        req.imr_ifindex = i.index;
        req.imr_address = i.address;
        if (setsockopt(m_udp.get(), IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req) != 0)
            continue;
        for (const auto &d : datagrams)
            ::sendto(m_udp.get(), d.data(), d.size(), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
}

void DiscoveryService::sendQuery()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queryRequested = true;
    }
    char c = 1;
    ssize_t ignored = ::write(m_wakeWrite.get(), &c, 1);
    (void)ignored;
}

void DiscoveryService::receiveDatagrams()
{
    static int64_t lastComplaintMs = -100000;
    for (;;) {
        uint8_t buf[2048];
        sockaddr_in from{};
        int arrivedOn = 0;
        ssize_t n = receiveDatagram(m_udp.get(), buf, sizeof buf, &from, &arrivedOn);
        if (n < 0)
            return;
        if (!interfaces().hears(arrivedOn))
            continue;
        AnnounceKind kind;
        std::vector<SourceEntry> entries;
        std::string why;
        if (!decodeAnnouncement(buf, size_t(n), &kind, &entries, &why)) {
            int64_t now = steadyMs();
            if (now - lastComplaintMs > 10000) {
                logLine("ignored a discovery datagram from %s: %s", ipText(from.sin_addr).c_str(),
                        why.c_str());
                lastComplaintMs = now;
            }
            continue;
        }
        std::string ip = ipText(from.sin_addr);
        int64_t now = steadyMs();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (kind == AnnounceKind::Query) {
            m_announceNow = !m_local.empty();
            continue;
        }
        bool changed = false;
        for (const auto &e : entries) {
            auto key = std::make_pair(e.name, ip + ":" + std::to_string(e.port));
            if (kind == AnnounceKind::Bye) {
                changed = m_remote.erase(key) > 0 || changed;
                continue;
            }
            auto it = m_remote.find(key);
            if (it == m_remote.end()) {
                if (m_remote.size() >= kMaxRemoteEntries)
                    continue;
                m_remote[key] = Remote{e.groups, now};
                changed = true;
            } else {
                changed = changed || it->second.groups != e.groups;
                it->second = Remote{e.groups, now};
            }
        }
        if (changed)
            bump();
    }
}

void DiscoveryService::serveListQuery()
{
    FdHandle client(::accept4(m_listServer.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid())
        return;
    // Answer within a short deadline so that a silent client cannot hold discovery.
    WireParser parser;
    int64_t deadline = steadyMs() + 300;
    for (;;) {
        int64_t left = deadline - steadyMs();
        if (left <= 0 || !waitReadable(client.get(), int(left)))
            return;
        ssize_t n = ::recv(client.get(), parser.buffer(), parser.wanted(), MSG_DONTWAIT);
        if (n <= 0)
            return;
        auto r = parser.commit(size_t(n));
        if (r == WireParser::Result::Error) {
            logLine("source-list query refused: %s", parser.error().c_str());
            return;
        }
        if (r == WireParser::Result::Message)
            break;
    }
    if (parser.type() != uint16_t(MsgType::ListQuery)) {
        logLine("source-list query refused: unexpected message type %u", parser.type());
        return;
    }
    std::vector<SourceEntry> list;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        list = m_registry;
    }
    Packet reply = encodeListReply(list);
    timeval tv{1, 0};
    setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sendAll(client.get(), reply->data(), reply->size());
}

void DiscoveryService::expire()
{
    int64_t now = steadyMs();
    std::lock_guard<std::mutex> lock(m_mutex);
    bool changed = false;
    for (auto *table : {&m_remote, &m_extra}) {
        for (auto it = table->begin(); it != table->end();) {
            if (now - it->second.lastSeenMs > kRemoteLifetimeMs) {
                it = table->erase(it);
                changed = true;
            } else {
                ++it;
            }
        }
    }
    if (changed)
        bump();
}

void DiscoveryService::run()
{
    int64_t lastScan = 0;
    while (!m_stop) {
        pollfd fds[3];
        int n = 0;
        fds[n++] = pollfd{m_wakeRead.get(), POLLIN, 0};
        int udpAt = -1, listAt = -1;
        if (m_udp.valid()) {
            udpAt = n;
            fds[n++] = pollfd{m_udp.get(), POLLIN, 0};
        }
        if (m_listServer.valid()) {
            listAt = n;
            fds[n++] = pollfd{m_listServer.get(), POLLIN, 0};
        }
        ::poll(fds, nfds_t(n), kScanIntervalMs);
        if (m_stop)
            break;
        if (fds[0].revents) {
            char buf[64];
            while (::read(m_wakeRead.get(), buf, sizeof buf) > 0) {
            }
        }
        if (udpAt >= 0 && fds[udpAt].revents)
            receiveDatagrams();
        if (listAt >= 0 && fds[listAt].revents)
            serveListQuery();

        int64_t now = steadyMs();
        bool announceNow, query, haveLocal;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            announceNow = m_announceNow && now - m_lastAnswerMs >= 250;
            if (announceNow)
                m_announceNow = false;
            query = m_queryRequested;
            m_queryRequested = false;
            haveLocal = !m_local.empty();
        }
        if (now - lastScan >= kScanIntervalMs || fds[0].revents) {
            scanRegistry();
            lastScan = now;
        }
        if (query)
            announce(AnnounceKind::Query, {});
        if (haveLocal && (announceNow || now - m_lastAnnounceMs >= kAnnounceIntervalMs)) {
            announce(AnnounceKind::Announce, localEntries());
            m_lastAnnounceMs = now;
            if (announceNow)
                m_lastAnswerMs = now;
        }
        if (haveLocal && !m_listServer.valid() && now - m_lastBindTryMs >= 2000) {
            m_lastBindTryMs = now;
            m_listServer = listenTcp(discoveryPort());
        } else if (!haveLocal && m_listServer.valid()) {
            m_listServer.reset();
        }
        if (now - m_lastJoinMs >= 2000 || m_interfacesChanged)
            joinGroups();
        expire();
    }
}

std::vector<DiscoveryService::Found> DiscoveryService::snapshot()
{
    std::string host = localHostAddress();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Found> list;
    for (const auto &e : m_registry)
        list.push_back(Found{e.name, e.groups, host + ":" + std::to_string(e.port), Origin::Local});
    for (const auto &r : m_remote)
        list.push_back(Found{r.first.first, r.second.groups, r.first.second, Origin::Remote});
    return list;
}

void DiscoveryService::reportExtra(const std::string &ip, const std::vector<SourceEntry> &entries)
{
    int64_t now = steadyMs();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &e : entries) {
        if (m_extra.size() >= kMaxRemoteEntries)
            break;
        auto key = std::make_pair(e.name, ip + ":" + std::to_string(e.port));
        bool fresh = m_extra.find(key) == m_extra.end();
        m_extra[key] = Remote{e.groups, now};
        if (fresh)
            bump();
    }
}

std::string DiscoveryService::lookup(const std::string &fullName)
{
    for (const auto &f : snapshot())
        if (f.name == fullName)
            return f.address;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &e : m_extra)
        if (e.first.first == fullName)
            return e.first.second;
    return {};
}

uint64_t DiscoveryService::generation()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

bool DiscoveryService::waitForChange(uint64_t seen, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_generation != seen || m_stop.load(); });
}

} // namespace drndi
