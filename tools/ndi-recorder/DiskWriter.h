// DiskWriter: the thread that puts the muxer's bytes on disk, so that the encoder never waits
// for the disk. Operations run in the order they were queued, across files (a chop closes
// the old file while the new one is being written).
//
// Durability: sync() (queued after each complete fragment, about once a second) makes all
// bytes before it durable with fdatasync, and the file's folder entry with fsync the first
// time. A full disk truncates the file back to its last synced fragment, so the file stays
// playable, and fails every later write; after any failure a closed file ends at its last
// synced fragment.
//
// Bound: the bytes queued and not yet written may not pass `maxPendingBytes`; the write
// that would pass it fails with Error::TooSlow (the disk cannot keep up).
//
// Threads: create/write/sync/close/drain from the encoding thread, error()/pendingBytes()
// from any; the writer thread owns the descriptors. m_mutex guards the queue, the counters
// and the error; a File's fields belong to the writer thread once created.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DiskWriter
{
public:
    enum class Error
    {
        None,
        DiskFull,
        CannotWrite,
        TooSlow
    };

    struct File
    {
        std::string path;
        int fd = -1;
        int64_t written = 0;   // writer thread
        int64_t committed = 0; // writer thread: offset made durable by the last sync
        bool folderSynced = false;
    };
    using FilePtr = std::shared_ptr<File>;

    explicit DiskWriter(size_t maxPendingBytes);
    ~DiskWriter(); // drains, then ends the thread

    // Creates `path` (and missing parent folders) for writing. An existing file is never
    // replaced: the name gets "_2", "_3"... before its extension instead. Null on failure
    // with the reason in `error`.
    FilePtr create(const std::string &path, std::string *error, Error *kind = nullptr);

    // False when the writer has failed (see error()); nothing is queued then.
    bool write(const FilePtr &file, const uint8_t *data, size_t size);
    void sync(const FilePtr &file);
    void close(const FilePtr &file);
    // Waits until every queued operation has run.
    void drain();

    Error error() const;
    std::string errorText() const;
    size_t pendingBytes() const;
    static const char *errorCode(Error error); // "disk_full", ...

private:
    struct Op
    {
        enum class Kind
        {
            Data,
            Sync,
            Close
        } kind;
        FilePtr file;
        std::vector<uint8_t> data;
    };

    void run();
    void fail(Error error, const std::string &text);
    bool writeAll(File &file, const std::vector<uint8_t> &data);

    const size_t m_maxPendingBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;     // work for the writer
    std::condition_variable m_idleCv; // the queue ran empty
    std::deque<Op> m_ops;
    size_t m_pendingBytes = 0;
    bool m_busy = false;
    bool m_stop = false;
    Error m_error = Error::None;
    std::string m_errorText;
    std::thread m_thread;
};
