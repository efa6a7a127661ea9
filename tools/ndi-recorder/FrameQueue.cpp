#include "FrameQueue.h"

bool FrameQueue::push(MediaItemPtr item)
{
    {
        std::lock_guard lock(m_mutex);
        if (item->kind == MediaItem::Kind::Video && m_bytes + item->bytes > m_maxBytes)
            return false;
        m_bytes += item->bytes;
        m_items.push_back(std::move(item));
    }
    m_cv.notify_one();
    return true;
}

MediaItemPtr FrameQueue::pop(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return !m_items.empty(); }))
        return nullptr;
    MediaItemPtr item = std::move(m_items.front());
    m_items.pop_front();
    m_bytes -= item->bytes;
    return item;
}

size_t FrameQueue::bytes() const
{
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

long long FrameQueue::oldestAgeMs() const
{
    std::lock_guard lock(m_mutex);
    if (m_items.empty())
        return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_items.front()->arrival)
        .count();
}

void FrameQueue::clear()
{
    std::deque<MediaItemPtr> gone;
    {
        std::lock_guard lock(m_mutex);
        gone.swap(m_items);
        m_bytes = 0;
    }
}
