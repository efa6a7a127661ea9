// Small POSIX socket helpers shared by the sender, the receiver and discovery.
// Every function is thread-safe (no shared state); blocking calls say how long they may block.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace drndi {

// Owns one file descriptor; closes it when it goes.
class FdHandle
{
public:
    FdHandle() = default;
    explicit FdHandle(int fd) : m_fd(fd) {}
    ~FdHandle() { reset(); }
    FdHandle(FdHandle &&o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    FdHandle &operator=(FdHandle &&o) noexcept;
    FdHandle(const FdHandle &) = delete;
    FdHandle &operator=(const FdHandle &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Splits "host:port"; false when malformed. The host must be a dotted IPv4 address.
bool parseHostPort(const std::string &text, sockaddr_in *out);
std::string formatAddress(const sockaddr_in &addr); // "a.b.c.d:port"
std::string ipText(in_addr addr);                   // "a.b.c.d"

// TCP connect with a timeout; returns an invalid handle on failure (errno text in `error`).
// When `cancelFd` is given, its becoming readable abandons the attempt at once.
FdHandle connectTcp(const sockaddr_in &addr, int timeoutMs, std::string *error = nullptr,
                    int cancelFd = -1);
// A listening TCP socket on 0.0.0.0:port (0 = any free port); invalid on failure.
FdHandle listenTcp(uint16_t port, int backlog = 16);
uint16_t localPort(int fd);
// Keep-alive with short intervals so a vanished peer is noticed within seconds; no Nagle.
void tuneStreamSocket(int fd);

// Blocking send of the whole buffer (MSG_NOSIGNAL); false when the peer is gone.
bool sendAll(int fd, const void *data, size_t len);
// recvfrom on a non-blocking UDP socket that also tells the index of the interface the
// datagram arrived on (0 when unknown; the socket needs IP_PKTINFO). -1 when none is waiting.
ssize_t receiveDatagram(int fd, void *buf, size_t size, sockaddr_in *from, int *ifIndex);
// Waits up to timeoutMs for fd to become readable; true when it is (or has an error). A
// readable `cancelFd` (when given) ends the wait with false.
bool waitReadable(int fd, int timeoutMs, int cancelFd = -1);

// IPv4 addresses of the interfaces that are up and not loopback, with their index and name
// (an interface with several addresses appears once per address).
struct LocalInterface
{
    std::string name; // as the system names it ("eth0", an alias "eth0:1")
    in_addr address;
    int index = 0;
    bool multicast = false;
};
std::vector<LocalInterface> localInterfaces();
// The address other hosts can reach this host at: the first non-loopback IPv4 address that
// is up, or 127.0.0.1 when there is none.
std::string primaryAddress();

// Realtime clock in 100 ns units (the timestamp unit of frames).
int64_t realtime100ns();
// Steady clock in milliseconds.
int64_t steadyMs();

} // namespace drndi
