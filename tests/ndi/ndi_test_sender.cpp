// Helper program of the discovery tests: one sender through the loaded runtime.
//   ndi-test-sender NAME [GROUPS]
// Prints "ready <full name> <address>" once the sender exists; ends cleanly on SIGTERM.
#include "ndi/NdiLibrary.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
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
