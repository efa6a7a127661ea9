#include "DiskWriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

DiskWriter::DiskWriter(size_t maxPendingBytes)
    : m_maxPendingBytes(maxPendingBytes), m_thread([this] { run(); })
{
}

DiskWriter::~DiskWriter()
{
    drain();
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

const char *DiskWriter::errorCode(Error error)
{
    switch (error) {
    case Error::DiskFull:
        return "disk_full";
    case Error::CannotWrite:
        return "cannot_write";
    case Error::TooSlow:
        return "disk_too_slow";
    default:
        return "";
    }
}

DiskWriter::FilePtr DiskWriter::create(const std::string &path, std::string *error, Error *kind)
{
    if (kind)
        *kind = Error::CannotWrite;
    const fs::path wanted(path);
    std::error_code ec;
    if (wanted.has_parent_path() && !fs::exists(wanted.parent_path(), ec)) {
        fs::create_directories(wanted.parent_path(), ec);
        if (ec) {
            *error =
                "cannot create the folder " + wanted.parent_path().string() + ": " + ec.message();
            return nullptr;
        }
    }
    for (int n = 1; n < 1000; ++n) {
        fs::path candidate = wanted;
        if (n > 1)
            candidate.replace_filename(wanted.stem().string() + "_" + std::to_string(n) +
                                       wanted.extension().string());
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            auto file = std::make_shared<File>();
            file->path = candidate.string();
            file->fd = fd;
            return file;
        }
        if (errno != EEXIST) {
            if (kind && (errno == ENOSPC || errno == EDQUOT))
                *kind = Error::DiskFull;
            *error = "cannot create " + candidate.string() + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    *error = "cannot create " + path + ": too many files of that name";
    return nullptr;
}

bool DiskWriter::write(const FilePtr &file, const uint8_t *data, size_t size)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_error != Error::None)
            return false;
        if (m_pendingBytes + size > m_maxPendingBytes) {
            m_error = Error::TooSlow;
            m_errorText = "the disk cannot keep up: " + std::to_string(m_pendingBytes >> 20) +
                          " MiB wait to be written to " + file->path;
            return false;
        }
        m_pendingBytes += size;
        m_ops.push_back(Op{Op::Kind::Data, file, std::vector<uint8_t>(data, data + size)});
    }
    m_cv.notify_one();
    return true;
}

void DiskWriter::sync(const FilePtr &file)
{
    {
        std::lock_guard lock(m_mutex);
        m_ops.push_back(Op{Op::Kind::Sync, file, {}});
    }
    m_cv.notify_one();
}

void DiskWriter::close(const FilePtr &file)
{
    {
        std::lock_guard lock(m_mutex);
        m_ops.push_back(Op{Op::Kind::Close, file, {}});
    }
    m_cv.notify_one();
}

void DiskWriter::drain()
{
    std::unique_lock lock(m_mutex);
    m_idleCv.wait(lock, [this] { return m_ops.empty() && !m_busy; });
}

DiskWriter::Error DiskWriter::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::string DiskWriter::errorText() const
{
    std::lock_guard lock(m_mutex);
    return m_errorText;
}

size_t DiskWriter::pendingBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingBytes;
}

void DiskWriter::fail(Error error, const std::string &text)
{
    std::lock_guard lock(m_mutex);
    if (m_error == Error::None) {
        m_error = error;
        m_errorText = text;
    }
}

bool DiskWriter::writeAll(File &file, const std::vector<uint8_t> &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(file.fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            if (err == ENOSPC || err == EDQUOT) {
                // Back to the last whole fragment: the file stays playable.
                if (::ftruncate(file.fd, file.committed) == 0)
                    file.written = file.committed;
                fail(Error::DiskFull, "the disk is full: " + file.path + " ends at " +
                                          std::to_string(file.committed) + " bytes");
            } else {
                fail(Error::CannotWrite, "cannot write " + file.path + ": " + std::strerror(err));
            }
            return false;
        }
        done += size_t(n);
        file.written += n;
    }
    return true;
}

void DiskWriter::run()
{
    for (;;) {
        Op op;
        {
            std::unique_lock lock(m_mutex);
            m_busy = false;
            if (m_ops.empty())
                m_idleCv.notify_all();
            m_cv.wait(lock, [this] { return m_stop || !m_ops.empty(); });
            if (m_ops.empty())
                return;
            op = std::move(m_ops.front());
            m_ops.pop_front();
            m_busy = true;
        }
        File &file = *op.file;
        const bool failed = error() != Error::None;
        switch (op.kind) {
        case Op::Kind::Data:
            if (!failed && file.fd >= 0)
                writeAll(file, op.data);
            {
                std::lock_guard lock(m_mutex);
                m_pendingBytes -= op.data.size();
            }
            break;
        case Op::Kind::Sync:
        case Op::Kind::Close:
            if (file.fd >= 0 && !failed) {
                if (::fdatasync(file.fd) == 0)
                    file.committed = file.written;
                else
                    fail(Error::CannotWrite,
                         "cannot sync " + file.path + ": " + std::strerror(errno));
                if (!file.folderSynced) {
                    file.folderSynced = true;
                    const fs::path parent = fs::path(file.path).parent_path();
                    const int dir = ::open(parent.empty() ? "." : parent.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    if (dir >= 0) {
                        ::fsync(dir);
                        ::close(dir);
                    }
                }
            }
            if (op.kind == Op::Kind::Close && file.fd >= 0) {
                // After a failure the bytes past the last sync may be a fragment cut short
                // (queued data is no longer written): end the file at its last whole one.
                if (failed && file.written > file.committed &&
                    ::ftruncate(file.fd, file.committed) == 0)
                    ::fdatasync(file.fd);
                ::close(file.fd);
                file.fd = -1;
            }
            break;
        }
    }
}
