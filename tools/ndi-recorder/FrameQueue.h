// FrameQueue: the bounded queue from the receiving thread to the encoding thread.
//
// The bound is in bytes (the pictures and sound waiting). A picture that would pass it is
// refused (the caller counts it as dropped): a slow encoder costs frames, never memory or a
// stalled receiver. Sound and orders are always taken: they are small and losing them would
// break the file's timing.
//
// Threads: the receiver pushes, the main thread pushes orders, the encoder pops; m_mutex
// guards every field.
#pragma once

#include "MediaItem.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

class FrameQueue
{
public:
    explicit FrameQueue(size_t maxBytes) : m_maxBytes(maxBytes) {}

    // False (and the item is not queued) when a video item would pass the byte bound.
    bool push(MediaItemPtr item);
    // The oldest item, or null after `timeout`.
    MediaItemPtr pop(std::chrono::milliseconds timeout);
    size_t bytes() const;
    // How long the oldest queued item has waited, in ms (0 when empty).
    long long oldestAgeMs() const;
    void clear();

private:
    const size_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<MediaItemPtr> m_items;
    size_t m_bytes = 0;
};
