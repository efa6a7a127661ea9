#include "Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace drndi {

FdHandle &FdHandle::operator=(FdHandle &&o) noexcept
{
    if (this != &o) {
        reset(o.m_fd);
        o.m_fd = -1;
    }
    return *this;
}

void FdHandle::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool parseHostPort(const std::string &text, sockaddr_in *out)
{
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() ||
        text.size() - colon > 6)
        return false;
    std::string host = text.substr(0, colon);
    long port = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        port = port * 10 + (text[i] - '0');
    }
    if (port <= 0 || port > 65535)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
        return false;
    *out = addr;
    return true;
}

std::string ipText(in_addr addr)
{
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

std::string formatAddress(const sockaddr_in &addr)
{
    return ipText(addr.sin_addr) + ":" + std::to_string(ntohs(addr.sin_port));
}

void tuneStreamSocket(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 2, interval = 1, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

FdHandle connectTcp(const sockaddr_in &addr, int timeoutMs, std::string *error, int cancelFd)
{
    FdHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        if (error)
            *error = std::strerror(errno);
        return {};
    }
    int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (rc != 0 && errno != EINPROGRESS) {
        if (error)
            *error = std::strerror(errno);
        return {};
    }
    if (rc != 0) {
        pollfd p[2] = {{fd.get(), POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        int n = ::poll(p, cancelFd >= 0 ? 2 : 1, timeoutMs);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (n > 0 && cancelFd >= 0 && (p[1].revents & POLLIN)) {
            if (error)
                *error = "cancelled";
            return {};
        }
        if (n <= 0) {
            if (error)
                *error = n == 0 ? "connection timed out" : std::strerror(errno);
            return {};
        }
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            if (error)
                *error = std::strerror(soError);
            return {};
        }
    }
    int flags = fcntl(fd.get(), F_GETFL);
    fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    tuneStreamSocket(fd.get());
    return fd;
}

FdHandle listenTcp(uint16_t port, int backlog)
{
    FdHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return {};
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return {};
    if (::listen(fd.get(), backlog) != 0)
        return {};
    return fd;
}

uint16_t localPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

bool sendAll(int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        len -= size_t(n);
    }
    return true;
}

ssize_t receiveDatagram(int fd, void *buf, size_t size, sockaddr_in *from, int *ifIndex)
{
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = sizeof *from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
    *ifIndex = 0;
    for (cmsghdr *c = n >= 0 ? CMSG_FIRSTHDR(&msg) : nullptr; c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *ifIndex = info.ipi_ifindex;
        }
    }
    return n;
}

bool waitReadable(int fd, int timeoutMs, int cancelFd)
{
    pollfd p[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    int n;
    do {
        n = ::poll(p, cancelFd >= 0 ? 2 : 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n > 0 && cancelFd >= 0 && (p[1].revents & POLLIN))
        return false;
    return n > 0;
}

std::vector<LocalInterface> localInterfaces()
{
    std::vector<LocalInterface> list;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return list;
    for (ifaddrs *i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        LocalInterface li;
        li.name = i->ifa_name;
        li.address = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr;
        li.index = int(if_nametoindex(i->ifa_name));
        li.multicast = (i->ifa_flags & IFF_MULTICAST) != 0;
        list.push_back(li);
    }
    freeifaddrs(all);
    return list;
}

std::string primaryAddress()
{
    auto list = localInterfaces();
    return list.empty() ? std::string("127.0.0.1") : ipText(list.front().address);
}

int64_t realtime100ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

int64_t steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace drndi
