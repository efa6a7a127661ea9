// A deadline for the part of an exit that is not ours: once the application's own shutdown
// has run (recordings closed, threads joined, log written), the libraries' teardown after
// `main` (the web engine above all) gets `seconds` to finish. Past that, the process ends
// with `exitCode` and one line on stderr, so a service manager or an operator never waits on
// an exit that hangs in a library. Uses SIGALRM (async-signal-safe handler: write, _exit);
// no thread.
//
// Thread: main thread, once, at the end of shutdown. No locks.
#pragma once

namespace ExitDeadline {
void arm(int seconds, int exitCode);
} // namespace ExitDeadline
