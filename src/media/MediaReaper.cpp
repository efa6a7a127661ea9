#include "media/MediaReaper.h"

#include <QCoreApplication>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// One worker thread, started on first use and joined (after draining) by shutdown().
class ReaperThread
{
public:
    void shutdown()
    {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
            thread = std::move(m_thread);
        }
        m_wake.notify_all();
        if (thread.joinable())
            thread.join();
    }

    // False once shut down: the caller runs the job itself.
    bool post(std::function<void()> &job)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_quit)
            return false;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { loop(); });
        m_jobs.push_back(std::move(job));
        ++m_posted;
        m_wake.notify_all();
        return true;
    }

    void drain()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const quint64 target = m_posted;
        m_done.wait(lock, [&] { return m_finished >= target; });
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_quit || !m_jobs.empty(); });
            if (m_jobs.empty())
                return; // quit with nothing left
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
            ++m_finished;
            m_done.notify_all();
        }
    }

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<std::function<void()>> m_jobs;
    quint64 m_posted = 0;
    quint64 m_finished = 0;
    bool m_quit = false;
    std::thread m_thread;
};

// Never destroyed: connections released from exit handlers still find it (shut down).
ReaperThread &reaper()
{
    static ReaperThread *const thread = new ReaperThread;
    return *thread;
}

// Programs that never call shutdown() (tests, tools) have the thread joined at exit.
struct JoinAtExit
{
    ~JoinAtExit() { MediaReaper::shutdown(); }
} g_joinAtExit;

} // namespace

bool MediaReaper::onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void MediaReaper::dispose(std::function<void()> job)
{
    if (!onGuiThread() || !reaper().post(job))
        job();
}

void MediaReaper::drain()
{
    reaper().drain();
}

void MediaReaper::shutdown()
{
    reaper().drain();
    reaper().shutdown();
}
