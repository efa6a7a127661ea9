// A small tmpfs that a test mounts in its own temporary folder and unmounts when done.
// Needs root; available() is false (with reason()) otherwise, and tests skip. On a tmpfs
// the used space is exact, so a test can check that every byte written was given back.
#pragma once

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <sys/statvfs.h>
#include <unistd.h>

// Bytes free for an unprivileged writer at `path`, -1 when it cannot be read.
inline qint64 freeBytes(const QString &path)
{
    struct statvfs fs = {};
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

class TmpfsMount
{
public:
    explicit TmpfsMount(int sizeMiB = 16)
    {
        m_path = QDir(m_dir.path()).canonicalPath();
        if (geteuid() != 0 || !m_dir.isValid())
            m_reason = QStringLiteral("mounting a tmpfs needs root and a temporary folder");
        else if (QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=%1m").arg(sizeMiB),
                                             "tmpfs", m_path}) != 0)
            m_reason = QStringLiteral("mount -t tmpfs failed");
        m_freeBytes = freeBytes(m_path);
    }
    ~TmpfsMount()
    {
        if (available())
            QProcess::execute("umount", {"-l", m_path});
    }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool available() const { return m_reason.isEmpty(); }
    QString reason() const { return m_reason; }
    QString path() const { return m_path; }
    // Free bytes right after mounting.
    qint64 initialFree() const { return m_freeBytes; }
    // No entry left (hidden ones included) and all space given back.
    bool isClean() const
    {
        return freeBytes(m_path) == m_freeBytes &&
               QDir(m_path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                    QDir::NoDotAndDotDot);
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    QString m_reason;
    qint64 m_freeBytes = -1;
};

// Skips the current test unless a tmpfs of `sizeMiB` is mounted as `name`.
#define DR_TMPFS(name, sizeMiB)                                                                    \
    TmpfsMount name(sizeMiB);                                                                      \
    if (!name.available())                                                                         \
    QSKIP(qPrintable(name.reason()))
