// Runs the destruction of receivers and connections away from the GUI thread: destroying
// a receiver can block for a long time when its peer vanished, and the GUI must not freeze.
// Thread-safe. After shutdown(), and at process exit (no application object any more), jobs
// run inline on the caller's thread.
#pragma once

#include <functional>
#include <memory>

class MediaReaper
{
public:
    // Runs `job` at once when the caller is not the GUI thread, else on the reaper thread.
    static void dispose(std::function<void()> job);
    // Waits until every job handed over so far has run.
    static void drain();
    // Runs every job handed over so far, then ends and joins the reaper thread; later jobs
    // run inline. Part of the application's shutdown (main thread); idempotent.
    static void shutdown();
    // True on the application's main (GUI) thread.
    static bool onGuiThread();

    // A shared reference whose object is deleted off the GUI thread.
    template <typename T> static std::shared_ptr<T> makeShared(T *object)
    {
        return std::shared_ptr<T>(object, [](T *p) { dispose([p] { delete p; }); });
    }
};
