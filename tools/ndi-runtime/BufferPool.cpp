#include "BufferPool.h"

#include <cstdlib>
#include <map>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DR_POOL_DISABLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DR_POOL_DISABLED 1
#endif
#endif

namespace drndi::bufferpool {

namespace {

// Size classes: whole 64 KiB units, so frames whose metadata differs by a few bytes share one.
constexpr size_t kUnit = 64u << 10;

[[maybe_unused]] size_t classOf(size_t bytes)
{
    return (bytes + kUnit - 1) / kUnit * kUnit;
}

struct Pool
{
    std::mutex lock;
    std::map<size_t, std::vector<void *>> free; // size class -> blocks of that size
    size_t freeBytes = 0;
};

Pool &pool()
{
    static Pool *p = new Pool; // never destroyed: buffers may be released during exit
    return *p;
}

} // namespace

void *take(size_t bytes)
{
    if (bytes == 0)
        bytes = 1;
#ifndef DR_POOL_DISABLED
    if (bytes >= kMinPooledBytes) {
        bytes = classOf(bytes); // a fresh block must fit any later request of its class
        Pool &p = pool();
        std::lock_guard<std::mutex> guard(p.lock);
        auto it = p.free.find(bytes);
        if (it != p.free.end() && !it->second.empty()) {
            void *block = it->second.back();
            it->second.pop_back();
            p.freeBytes -= bytes;
            return block;
        }
    }
#endif
    if (void *block = std::malloc(bytes))
        return block;
    throw std::bad_alloc();
}

void give(void *block, size_t bytes) noexcept
{
    if (!block)
        return;
#ifndef DR_POOL_DISABLED
    if (bytes >= kMinPooledBytes) {
        const size_t size = classOf(bytes);
        Pool &p = pool();
        std::lock_guard<std::mutex> guard(p.lock);
        std::vector<void *> &blocks = p.free[size];
        if (blocks.size() < kMaxBlocksPerClass && p.freeBytes + size <= kMaxPooledBytes) {
            try {
                blocks.push_back(block);
                p.freeBytes += size;
                return;
            } catch (...) {
            }
        }
    }
#else
    (void)bytes;
#endif
    std::free(block);
}

size_t pooledBytes()
{
    Pool &p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.freeBytes;
}

} // namespace drndi::bufferpool

bool drndi::bufferpool::enabled()
{
#ifdef DR_POOL_DISABLED
    return false;
#else
    return true;
#endif
}
