// Fixed-capacity byte FIFO between one writer and one reader, with all-or-nothing reads
// and writes.
//
// Threads: the writer is a media connection's audio thread (through its audio sink), the
// reader is the engine source on the mixing thread. `mutex_` guards the positions and the
// storage's contents. It is a leaf lock: nothing else is ever taken while it is held (the engine
// takes it under the engine lock, never the other way round).
//
// Layout: storage of capacity + 2 bytes. The bytes held are those after the read position
// up to just before the write position, cyclically; an empty buffer has write = read + 1
// after a reset (write 1, read 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace dr::audiomix {

class RRingBuffer
{
public:
    // Holds at most `capacityBytes` bytes.
    explicit RRingBuffer(uint32_t capacityBytes);
    RRingBuffer(const RRingBuffer &) = delete;
    RRingBuffer &operator=(const RRingBuffer &) = delete;

    // Appends all `length` bytes and returns true when they fit. Otherwise the buffer
    // overflows: the line "getFreeSize():<free bytes>" goes to standard output, the buffer
    // is emptied, the block is dropped and false is returned.
    bool Write(const void *bytes, size_t length);
    // Moves exactly `length` bytes into `destination` and returns true; returns false and
    // copies nothing when fewer bytes are held or `destinationCapacity` < `length`.
    bool Read(void *destination, size_t destinationCapacity, size_t length);
    // Bytes held.
    uint32_t Readable() const;
    // Bytes that a write could add now.
    uint32_t FreeSize() const;
    uint32_t Capacity() const { return size_ - 2; }

private:
    uint32_t ReadableLocked() const;
    uint32_t FreeSizeLocked() const { return size_ - ReadableLocked() - 2; }

    const std::unique_ptr<uint8_t[]> storage_;
    const uint32_t size_; // storage bytes: capacity + 2
    mutable std::mutex mutex_;
    uint32_t write_ = 1; // guarded by mutex_; next byte to write
    uint32_t read_ = 0;  // guarded by mutex_; the byte before the next one to read
};

} // namespace dr::audiomix
