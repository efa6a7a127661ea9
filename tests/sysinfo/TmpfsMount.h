// A small tmpfs that a test mounts in its own temporary folder and unmounts when done.
// Needs root; available() is false (with reason()) otherwise, and tests skip.
#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <unistd.h>

class TmpfsMount
{
public:
    explicit TmpfsMount(int sizeMiB = 16)
    {
        if (geteuid() != 0) {
            m_reason = QStringLiteral("mounting a tmpfs needs root");
            return;
        }
        if (!m_dir.isValid()) {
            m_reason = QStringLiteral("no temporary folder");
            return;
        }
        m_path = QDir(m_dir.path()).canonicalPath();
        const int rc = QProcess::execute(
            QStringLiteral("mount"),
            {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
             QStringLiteral("size=%1m").arg(sizeMiB), QStringLiteral("tmpfs"), m_path});
        if (rc != 0) {
            m_reason = QStringLiteral("mount -t tmpfs failed (%1)").arg(rc);
            return;
        }
        m_mounted = true;
    }
    ~TmpfsMount()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_path});
    }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool available() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_path; }
    // Every entry in the mount, hidden ones included.
    QStringList entries() const
    {
        return QDir(m_path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    QString m_reason;
    bool m_mounted = false;
};
