#include "app/ExitDeadline.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_exitCode = 0;

void onDeadline(int)
{
    static const char kText[] =
        "desk-recorder: the libraries' teardown did not end in time after shutdown; exiting\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    ::_exit(g_exitCode);
}

} // namespace

void ExitDeadline::arm(int seconds, int exitCode)
{
    g_exitCode = exitCode & 0xff;
    struct sigaction action = {};
    action.sa_handler = &onDeadline;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(static_cast<unsigned>(seconds));
}
