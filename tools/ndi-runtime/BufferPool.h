// Byte buffers for frames and packets. Every user writes a buffer's bytes before reading
// them, so the allocator leaves them uninitialised, and blocks of kMinPooledBytes and more
// are kept after release for the next buffer of the same size class: a stream of
// same-sized frames then neither faults in fresh pages nor clears them (at 1080p60 that
// was most of the sender's and receiver's time).
//
// Threads: any; the pool's lock guards its free lists and is never held while calling out.
// Sanitizer builds skip the pool so that use-after-free stays visible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace drndi {

namespace bufferpool {

constexpr size_t kMinPooledBytes = 64u << 10;
constexpr size_t kMaxPooledBytes = 128u << 20; // all free blocks together
constexpr size_t kMaxBlocksPerClass = 16;

void *take(size_t bytes);
void give(void *block, size_t bytes) noexcept;
size_t pooledBytes(); // free bytes held, for tests
bool enabled();       // false in sanitizer builds

} // namespace bufferpool

template <class T> struct PooledAllocator
{
    static_assert(std::is_trivially_copyable_v<T>);
    using value_type = T;

    PooledAllocator() = default;
    template <class U> PooledAllocator(const PooledAllocator<U> &) noexcept {}

    T *allocate(size_t n) { return static_cast<T *>(bufferpool::take(n * sizeof(T))); }
    void deallocate(T *p, size_t n) noexcept { bufferpool::give(p, n * sizeof(T)); }

    // Default-initialise: resize() leaves new bytes as they are.
    template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <class U, class... Args> void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }

    template <class U> bool operator==(const PooledAllocator<U> &) const noexcept { return true; }
};

using ByteBuffer = std::vector<uint8_t, PooledAllocator<uint8_t>>;

} // namespace drndi
