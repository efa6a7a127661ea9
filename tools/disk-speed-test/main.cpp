// Disk write-speed test. Writes blocks into a temporary file in the folder given by -path
// for -time milliseconds and prints, one per line on standard output:
//   percent=N   progress, 0..99 while running, 100 once the writers have finished
//   result=X    the write rate in MB/s (10^6 bytes per second), two decimals
// Errors go to standard error as one line and end the program with exit code 1.
//
// Leaving nothing behind: the test file is created with O_TMPFILE where the file system
// supports it (it never has a name), otherwise it is created and unlinked right away, so
// the space is returned however the program ends, SIGKILL included. SIGTERM, SIGINT and
// SIGHUP stop the writers at once; no result is printed and the exit code is 128 + signal.
// The test also stops when its parent process ends or stops reading its output.
//
// Measuring the disk rather than memory: direct I/O (O_DIRECT) where the file system and
// the block size allow it; otherwise buffered writes with fdatasync every 64 MiB. Each
// writer ends with fdatasync, and that time counts.
//
// Threads: the main thread prints progress and decides when to stop; each writer thread
// owns its file descriptor. They share only atomics.
#include "SpeedTestOptions.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kBufferedSyncBytes = 64 * kMiB;
constexpr std::size_t kAlignment = 4096;

std::atomic<int> g_signal{0};    // set by the signal handler
std::atomic<bool> g_stop{false}; // writers leave their loop when set

void onSignal(int sig)
{
    g_signal.store(sig);
    g_stop.store(true);
}

// Opens an anonymous file in `dir`; `direct` says whether O_DIRECT was accepted. Returns
// -1 with errno set when no file can be made.
int openTestFile(const std::string &dir, int index, bool wantDirect, bool &direct)
{
    const int base = O_WRONLY | O_CLOEXEC;
    for (const bool tryDirect : {true, false}) {
        if (tryDirect && !wantDirect)
            continue;
        const int flags = base | (tryDirect ? O_DIRECT : 0);
        int fd = open(dir.c_str(), flags | O_TMPFILE, 0600);
        if (fd < 0) {
            const std::string name = dir + "/.disk-speed-test-" + std::to_string(getpid()) + "-" +
                                     std::to_string(index) + ".tmp";
            fd = open(name.c_str(), flags | O_CREAT | O_EXCL, 0600);
            if (fd >= 0)
                unlink(name.c_str());
        }
        if (fd >= 0) {
            direct = tryDirect;
            return fd;
        }
        if (!(tryDirect && errno == EINVAL))
            return -1;
    }
    return -1;
}

struct Writer
{
    int fd = -1;
    bool direct = false;
    std::int64_t regionBytes = 0;
    std::atomic<std::int64_t> written{0};
    int error = 0; // errno of the write or sync that ended the writer early; 0 when none
};

void runWriter(Writer &w, const char *buffer, std::int64_t blockBytes)
{
    std::int64_t offset = 0;
    std::int64_t sinceSync = 0;
    while (!g_stop.load(std::memory_order_relaxed)) {
        const ssize_t n = pwrite(w.fd, buffer, std::size_t(blockBytes), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EINVAL && w.direct && w.written.load() == 0) {
                // The device wants another alignment: go on without direct I/O.
                fcntl(w.fd, F_SETFL, fcntl(w.fd, F_GETFL) & ~O_DIRECT);
                w.direct = false;
                continue;
            }
            w.error = errno;
            break;
        }
        offset += n;
        if (offset + blockBytes > w.regionBytes)
            offset = 0;
        w.written.fetch_add(n, std::memory_order_relaxed);
        sinceSync += n;
        if (!w.direct && sinceSync >= kBufferedSyncBytes) {
            fdatasync(w.fd);
            sinceSync = 0;
        }
    }
    if (g_signal.load() == 0 && fdatasync(w.fd) != 0 && w.error == 0)
        w.error = errno;
}

// A reader that went away (the application ended) stops the test like a signal would.
void printLine(const char *key, const std::string &value)
{
    std::printf("%s=%s\n", key, value.c_str());
    if (std::fflush(stdout) != 0) {
        g_signal.store(SIGPIPE);
        g_stop.store(true);
    }
}

} // namespace

int main(int argc, char **argv)
{
    SpeedTestOptions opt;
    std::string error;
    if (!opt.parse(argc, argv, error)) {
        std::fprintf(stderr,
                     "disk-speed-test: %s\nusage: disk-speed-test -path DIR [-bs BYTES] "
                     "[-time MS] [-thread N] [-span MIB]\n",
                     error.c_str());
        return 1;
    }

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // End with the program that started us, even when it is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    struct statvfs fs = {};
    if (statvfs(opt.path.c_str(), &fs) != 0) {
        std::fprintf(stderr, "disk-speed-test: cannot read the disk of %s: %s\n", opt.path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const std::int64_t freeBytes = std::int64_t(fs.f_bavail) * std::int64_t(fs.f_frsize);
    std::int64_t region = std::min(opt.spanMiB * kMiB, freeBytes / 2 / opt.threads);
    region -= region % opt.blockBytes;
    if (region < opt.blockBytes) {
        std::fprintf(stderr, "disk-speed-test: not enough free space in %s (%lld bytes)\n",
                     opt.path.c_str(), static_cast<long long>(freeBytes));
        return 1;
    }

    void *raw = nullptr;
    if (posix_memalign(&raw, kAlignment, std::size_t(opt.blockBytes)) != 0) {
        std::fprintf(stderr, "disk-speed-test: cannot allocate %lld bytes\n",
                     static_cast<long long>(opt.blockBytes));
        return 1;
    }
    std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char *>(raw), &std::free);
    // Incompressible content, so that compressing or deduplicating storage cannot cheat.
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (std::int64_t i = 0; i < opt.blockBytes; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        buffer.get()[i] = char(state);
    }

    const bool wantDirect = opt.blockBytes % 512 == 0;
    std::vector<std::unique_ptr<Writer>> writers;
    for (int i = 0; i < opt.threads; ++i) {
        auto w = std::make_unique<Writer>();
        w->fd = openTestFile(opt.path, i, wantDirect, w->direct);
        if (w->fd < 0) {
            std::fprintf(stderr, "disk-speed-test: cannot create a file in %s: %s\n",
                         opt.path.c_str(), std::strerror(errno));
            for (auto &other : writers)
                close(other->fd);
            return 1;
        }
        w->regionBytes = region;
        writers.push_back(std::move(w));
    }

    printLine("percent", "0");
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(opt.timeMs);
    std::vector<std::thread> threads;
    for (auto &w : writers)
        threads.emplace_back(runWriter, std::ref(*w), buffer.get(), opt.blockBytes);

    int lastPercent = 0;
    while (!g_stop.load()) {
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        bool allFailed = true;
        for (auto &w : writers)
            allFailed = allFailed && w->error != 0;
        if (allFailed)
            break;
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
        const int percent = int(std::min<std::int64_t>(99, elapsedMs * 100 / opt.timeMs));
        if (percent != lastPercent) {
            printLine("percent", std::to_string(percent));
            lastPercent = percent;
        }
        const auto untilDeadline = deadline - now;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(untilDeadline, std::chrono::milliseconds(50)));
    }
    g_stop.store(true);
    for (auto &t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto &w : writers)
        close(w->fd);

    if (const int sig = g_signal.load(); sig != 0)
        return 128 + sig;

    std::int64_t total = 0;
    int firstError = 0;
    for (auto &w : writers) {
        total += w->written.load();
        if (firstError == 0)
            firstError = w->error;
    }
    // A full disk ends the test early but still measures a rate; anything else fails it.
    if (firstError != 0 && (firstError != ENOSPC || total == 0)) {
        std::fprintf(stderr, "disk-speed-test: writing in %s failed: %s\n", opt.path.c_str(),
                     std::strerror(firstError));
        return 1;
    }
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.2f", seconds > 0 ? double(total) / 1e6 / seconds : 0.0);
    printLine("percent", "100");
    printLine("result", rate);
    return 0;
}
