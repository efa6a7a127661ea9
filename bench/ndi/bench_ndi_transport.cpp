// Benchmark of our NDI runtime on loopback: for each stream format, a sender process paced
// at the frame rate and a receiver in this process. Prints throughput, CPU of each side (%
// of one core), send-to-capture latency p50/p99, and for scale memcpy and raw loopback TCP
// throughput measured in the same run. Never fails on timing.
//   bench_ndi_transport [seconds per stream, default 4]
#include "ndi/NdiLibrary.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int64_t realtime100ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

double memcpyGBps()
{
    std::vector<uint8_t> a(64 << 20, 1), b(64 << 20);
    auto t = Clock::now();
    size_t bytes = 0;
    while (secondsSince(t) < 0.5) {
        std::memcpy(b.data(), a.data(), a.size());
        bytes += a.size();
        a[bytes % a.size()] = uint8_t(bytes);
    }
    return double(bytes) / secondsSince(t) / 1e9;
}

double loopbackTcpGBps()
{
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(server, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(server, 1);
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
    std::thread writer([a] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
            return;
        std::vector<uint8_t> buf(4 << 20, 7);
        auto t = Clock::now();
        while (secondsSince(t) < 0.5)
            if (::send(fd, buf.data(), buf.size(), MSG_NOSIGNAL) <= 0)
                break;
        ::close(fd);
    });
    int c = ::accept(server, nullptr, nullptr);
    std::vector<uint8_t> buf(4 << 20);
    size_t bytes = 0;
    auto t = Clock::now();
    for (;;) {
        ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        bytes += size_t(n);
    }
    double s = secondsSince(t);
    writer.join();
    ::close(c);
    ::close(server);
    return double(bytes) / s / 1e9;
}

struct Format
{
    const char *label;
    int x, y, n, d;
};

// Child: one paced sender; writes its address, then "cpu_s wall_s frames" to `out`.
int runSender(const Format &f, double seconds, int out)
{
    std::string why;
    auto lib = NdiLibrary::load(&why);
    if (!lib) {
        std::fprintf(stderr, "sender: %s\n", why.c_str());
        return 1;
    }
    NDIlib_send_create_t s;
    std::string name = std::string("Bench ") + f.label + " " + std::to_string(getpid());
    s.p_ndi_name = name.c_str();
    NdiSender send = makeNdiSender(*lib, &s);
    std::string line = std::string((*lib)->send_get_source_name(send.get())->p_ndi_name) + "\n" +
                       (*lib)->send_get_source_name(send.get())->p_url_address + "\n";
    if (::write(out, line.data(), line.size()) < 0)
        return 1;
    (*lib)->send_get_no_connections(send.get(), 10000);
    std::vector<std::vector<uint8_t>> frames(2, std::vector<uint8_t>(size_t(f.x) * f.y * 2));
    for (size_t i = 0; i < frames[0].size(); ++i) {
        frames[0][i] = uint8_t(i * 7);
        frames[1][i] = uint8_t(i * 13);
    }
    double cpu0 = cpuSeconds();
    auto t = Clock::now();
    int count = 0;
    while (secondsSince(t) < seconds) {
        NDIlib_video_frame_v2_t v;
        v.xres = f.x;
        v.yres = f.y;
        v.frame_rate_N = f.n;
        v.frame_rate_D = f.d;
        v.p_data = frames[size_t(count & 1)].data();
        (*lib)->send_send_video_v2(send.get(), &v); // paced by the runtime (clock_video)
        ++count;
    }
    char result[128];
    int n = std::snprintf(result, sizeof result, "%f %f %d\n", cpuSeconds() - cpu0, secondsSince(t),
                          count);
    if (::write(out, result, size_t(n)) < 0)
        return 1;
    return 0;
}

std::string readLine(int fd)
{
    std::string s;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        s += c;
    return s;
}

void benchFormat(const NdiLibrary &lib, const Format &f, double seconds)
{
    int pipeFd[2];
    if (pipe(pipeFd) != 0)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        ::close(pipeFd[0]);
        _exit(runSender(f, seconds, pipeFd[1]));
    }
    ::close(pipeFd[1]);
    std::string name = readLine(pipeFd[0]);
    std::string address = readLine(pipeFd[0]);
    NDIlib_recv_create_v3_t r;
    r.source_to_connect_to.p_ndi_name = name.c_str();
    r.source_to_connect_to.p_url_address = address.c_str();
    r.color_format = NDIlib_recv_color_format_fastest;
    NdiReceiver recv = makeNdiReceiver(lib, &r);

    std::vector<double> latencyMs;
    size_t bytes = 0;
    int frames = 0;
    double cpu0 = 0;
    Clock::time_point t0;
    bool started = false;
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds + 15);
    while (Clock::now() < deadline) {
        NDIlib_video_frame_v2_t v;
        auto type = lib->recv_capture_v2(recv.get(), &v, nullptr, nullptr, 1000);
        if (type == NDIlib_frame_type_video) {
            int64_t now = realtime100ns();
            if (!started) { // the first frame may be an old one handed to a late receiver
                started = true;
                cpu0 = cpuSeconds();
                t0 = Clock::now();
            } else {
                latencyMs.push_back(double(now - v.timestamp) / 1e4);
                bytes += size_t(v.line_stride_in_bytes) * size_t(v.yres);
                ++frames;
            }
            lib->recv_free_video_v2(recv.get(), &v);
        } else if (type == NDIlib_frame_type_error || (started && secondsSince(t0) > seconds + 2)) {
            break;
        } else if (started && type == NDIlib_frame_type_none && secondsSince(t0) > seconds) {
            break;
        }
    }
    double wall = started ? secondsSince(t0) : 1;
    double recvCpu = started ? cpuSeconds() - cpu0 : 0;
    std::string result = readLine(pipeFd[0]);
    ::close(pipeFd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double sendCpu = 0, sendWall = 1;
    int sent = 0;
    std::sscanf(result.c_str(), "%lf %lf %d", &sendCpu, &sendWall, &sent);
    std::sort(latencyMs.begin(), latencyMs.end());
    auto pct = [&](double p) {
        return latencyMs.empty()
                   ? 0.0
                   : latencyMs[std::min(latencyMs.size() - 1, size_t(p * latencyMs.size()))];
    };
    double fps = double(f.n) / f.d;
    std::printf("%-22s sent %5d frames, received %5d (%.2f fps of %.2f)\n", f.label, sent, frames,
                frames / wall, fps);
    std::printf("%-22s throughput %.1f MB/s (%.0f Mbit/s)\n", "", bytes / wall / 1e6,
                bytes * 8 / wall / 1e6);
    std::printf("%-22s CPU per stream: sender %.1f%% of a core, receiver %.1f%% of a core\n", "",
                100 * sendCpu / sendWall, 100 * recvCpu / wall);
    std::printf("%-22s latency send->capture: p50 %.2f ms, p99 %.2f ms (frame interval %.2f ms)\n",
                "", pct(0.5), pct(0.99), 1000 / fps);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 4;
    setenv("DESK_RECORDER_NDI_INTERFACES", "none", 1); // the senders stay on this host
    std::string why;
    auto lib = NdiLibrary::load(&why);
    if (!lib) {
        std::fprintf(stderr, "bench_ndi_transport: %s\n", why.c_str());
        return 1;
    }
    std::printf("%s\n", lib->describe().c_str());
    std::printf("memcpy (64 MiB blocks):       %.2f GB/s\n", memcpyGBps());
    std::printf("raw loopback TCP (4 MiB):     %.2f GB/s\n", loopbackTcpGBps());
    const Format formats[] = {{"1920x1080 60000/1001", 1920, 1080, 60000, 1001},
                              {"640x360 30000/1001", 640, 360, 30000, 1001}};
    for (const auto &f : formats)
        benchFormat(*lib, f, seconds);
    return 0;
}
