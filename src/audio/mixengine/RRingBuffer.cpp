#include "audio/mixengine/RRingBuffer.h"

#include "audio/mixengine/NumericRange.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dr::audiomix {

RRingBuffer::RRingBuffer(uint32_t capacityBytes)
    : storage_(new uint8_t[CheckedCast<uint32_t>(uint64_t{capacityBytes} + 2)]),
      size_(capacityBytes + 2)
{
}

uint32_t RRingBuffer::ReadableLocked() const
{
    if (write_ > read_)
        return write_ - read_ - 1;
    if (write_ < read_)
        return write_ - 1 + size_ - read_;
    return 0;
}

bool RRingBuffer::Write(const void *bytes, size_t length)
{
    std::lock_guard lock(mutex_);
    const uint32_t freeBytes = FreeSizeLocked();
    if (freeBytes < length) {
        // The reader fell behind (or stopped): start over rather than play stale audio.
        std::printf("getFreeSize():%u\n", freeBytes);
        std::fflush(stdout);
        write_ = 1;
        read_ = 0;
        return false;
    }
    if (length == 0)
        return true;
    const auto *source = static_cast<const uint8_t *>(bytes);
    const size_t first = std::min<size_t>(length, size_ - write_);
    std::memcpy(storage_.get() + write_, source, first);
    std::memcpy(storage_.get(), source + first, length - first);
    write_ = static_cast<uint32_t>((write_ + length) % size_);
    return true;
}

bool RRingBuffer::Read(void *destination, size_t destinationCapacity, size_t length)
{
    std::lock_guard lock(mutex_);
    if (ReadableLocked() < length || destinationCapacity < length)
        return false;
    if (length == 0)
        return true;
    auto *target = static_cast<uint8_t *>(destination);
    const uint32_t start = (read_ + 1) % size_;
    const size_t first = std::min<size_t>(length, size_ - start);
    std::memcpy(target, storage_.get() + start, first);
    std::memcpy(target + first, storage_.get(), length - first);
    read_ = static_cast<uint32_t>((read_ + length) % size_);
    return true;
}

uint32_t RRingBuffer::Readable() const
{
    std::lock_guard lock(mutex_);
    return ReadableLocked();
}

uint32_t RRingBuffer::FreeSize() const
{
    std::lock_guard lock(mutex_);
    return FreeSizeLocked();
}

} // namespace dr::audiomix
