// ndi-testsrc: sends one test source per --name through whatever NDI runtime NdiLibrary
// loads, until SIGTERM/SIGINT (or --seconds). Exit code 0 after a clean end, 1 when no
// runtime or sender is available, 2 for a bad command line.
#include "TestSource.h"
#include "TestSourceOptions.h"
#include "ndi/NdiLibrary.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    const auto parsed = TestSourceOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto *error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "ndi-testsrc: %s\n%s", error->c_str(),
                     TestSourceOptions::usage().c_str());
        return 2;
    }
    const TestSourceOptions &options = std::get<TestSourceOptions>(parsed);
    if (options.help) {
        std::fputs(TestSourceOptions::usage().c_str(), stdout);
        return 0;
    }

    // SIGTERM and SIGINT are blocked in every thread (the runtime's threads inherit the mask)
    // and taken synchronously by the main thread below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const NdiLibrary *lib = NdiLibrary::instance();
    if (!lib) {
        std::fprintf(stderr, "ndi-testsrc: no NDI runtime: %s\n",
                     NdiLibrary::instanceError().c_str());
        return 1;
    }
    TestSource::print("runtime path=" + lib->path() + " version=" + lib->version() +
                      " own=" + (lib->isOwnRuntime() ? "1" : "0"));

    std::vector<std::unique_ptr<TestSource>> sources;
    for (const std::string &name : options.names) {
        sources.push_back(std::make_unique<TestSource>(*lib, options, name));
        if (!sources.back()->start())
            return 1;
    }

    // Run-time switches: "<effect> on|off" lines on stdin go to every source. End of input
    // (or no stdin) only ends the reading.
    std::string pending;
    bool readStdin = true;
    auto pollStdin = [&] {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        while (readStdin && poll(&fd, 1, 0) > 0) {
            char chunk[256];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                readStdin = false;
                break;
            }
            pending.append(chunk, size_t(n));
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                const size_t space = line.find(' ');
                const std::string name = line.substr(0, space);
                const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
                int effect = 0;
                while (effect < TestSourceOptions::EffectCount &&
                       name != TestSourceOptions::effectName(effect))
                    ++effect;
                if (effect == TestSourceOptions::EffectCount || (value != "on" && value != "off")) {
                    std::fprintf(stderr, "ndi-testsrc: ignored input line \"%s\"\n", line.c_str());
                    continue;
                }
                for (auto &source : sources)
                    source->setEffect(effect, value == "on");
            }
        }
    };

    const auto started = std::chrono::steady_clock::now();
    int signal = 0;
    while (signal <= 0) {
        pollStdin();
        const timespec tick{0, 100 * 1000 * 1000};
        signal = sigtimedwait(&signals, nullptr, &tick);
        if (options.seconds > 0 && std::chrono::steady_clock::now() - started >=
                                       std::chrono::duration<double>(options.seconds))
            break;
    }
    TestSource::print(signal > 0
                          ? std::string("signal ") + (signal == SIGINT ? "SIGINT" : "SIGTERM")
                          : std::string("time limit reached"));
    for (auto &source : sources)
        source->stop();
    sources.clear();
    return 0;
}
