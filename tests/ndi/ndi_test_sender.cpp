// Helper program of the discovery tests, through the loaded runtime:
//   ndi-test-sender NAME [GROUPS]   one sender; prints "ready <full name> <address>" once it
//                                   exists and ends cleanly on SIGTERM;
//   ndi-test-sender --find NAME MS [EXTRA_IPS]
//                                   waits up to MS for a source whose name ends with "(NAME)";
//                                   prints "found <full name> <address>" and exits 0, else 1.
#include "ndi/NdiLibrary.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static volatile sig_atomic_t g_stop = 0;
static void onTerm(int)
{
    g_stop = 1;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ndi-test-sender NAME [GROUPS]\n");
        return 2;
    }
    std::string why;
    auto lib = NdiLibrary::load(&why);
    if (!lib) {
        std::fprintf(stderr, "ndi-test-sender: %s\n", why.c_str());
        return 1;
    }
    if (std::string(argv[1]) == "--find" && argc >= 4) {
        NDIlib_find_create_t f;
        f.p_extra_ips = argc > 4 ? argv[4] : nullptr;
        NdiFinder finder = makeNdiFinder(*lib, &f);
        std::string suffix = std::string("(") + argv[2] + ")";
        for (int waited = 0; waited <= std::atoi(argv[3]); waited += 100) {
            (*lib)->find_wait_for_sources(finder.get(), 100);
            uint32_t n = 0;
            const NDIlib_source_t *list = (*lib)->find_get_current_sources(finder.get(), &n);
            for (uint32_t i = 0; i < n; ++i) {
                std::string name = list[i].p_ndi_name;
                if (name.size() >= suffix.size() &&
                    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                    std::printf("found %s %s\n", list[i].p_ndi_name, list[i].p_url_address);
                    return 0;
                }
            }
        }
        return 1;
    }
    signal(SIGTERM, onTerm);
    NDIlib_send_create_t settings;
    settings.p_ndi_name = argv[1];
    settings.p_groups = argc > 2 ? argv[2] : nullptr;
    NdiSender sender = makeNdiSender(*lib, &settings);
    if (!sender)
        return 1;
    const NDIlib_source_t *src = (*lib)->send_get_source_name(sender.get());
    std::printf("ready %s %s\n", src->p_ndi_name, src->p_url_address);
    std::fflush(stdout);
    while (!g_stop)
        usleep(20000);
    sender.reset();
    std::printf("stopped\n");
    return 0;
}
