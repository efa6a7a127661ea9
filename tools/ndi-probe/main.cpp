// ndi-probe: lists NDI sources or receives from one through whatever runtime NdiLibrary
// loads, printing lines for people and scripts. See ProbeOptions::usage().
#include "Probe.h"
#include "ProbeOptions.h"
#include "ndi/NdiLibrary.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int)
{
    g_stop = true;
}

} // namespace

int main(int argc, char **argv)
{
    const auto parsed = ProbeOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto *error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "ndi-probe: %s\n%s", error->c_str(), ProbeOptions::usage().c_str());
        return 2;
    }
    const ProbeOptions &options = std::get<ProbeOptions>(parsed);
    if (options.help) {
        std::fputs(ProbeOptions::usage().c_str(), stdout);
        return 0;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const NdiLibrary *lib = NdiLibrary::instance();
    if (!lib) {
        std::fprintf(stderr, "ndi-probe: no NDI runtime: %s\n",
                     NdiLibrary::instanceError().c_str());
        return 1;
    }
    Probe probe(*lib, options, g_stop);
    switch (options.mode) {
    case ProbeOptions::Mode::List:
        return probe.list();
    case ProbeOptions::Mode::Recv:
        std::printf("runtime=%s\n", lib->describe().c_str());
        return probe.receive();
    default:
        std::printf("runtime=%s\nruntime_version=%s\nruntime_own=%d\n", lib->describe().c_str(),
                    lib->version().c_str(), lib->isOwnRuntime() ? 1 : 0);
        return 0;
    }
}
