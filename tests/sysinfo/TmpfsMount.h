// A small tmpfs that a test mounts in its own temporary folder and unmounts when done.
// Needs root; `reason` says why it is not mounted otherwise, and tests skip. On a tmpfs
// the used space is exact, so a test can check that every byte written was given back.
#pragma once

#include <QDir>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <unistd.h>

struct TmpfsMount
{
    explicit TmpfsMount(int sizeMiB = 16)
    {
        if (geteuid() != 0 || !dir.isValid())
            reason = QStringLiteral("mounting a tmpfs needs root and a temporary folder");
        else if (QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=%1m").arg(sizeMiB),
                                             "tmpfs", path}) != 0)
            reason = QStringLiteral("mount -t tmpfs failed");
        initialFree = freeNow();
    }
    ~TmpfsMount()
    {
        if (reason.isEmpty())
            QProcess::execute("umount", {"-l", path});
    }
    // Bytes free for an unprivileged writer now, -1 when they cannot be read.
    qint64 freeNow() const { return QStorageInfo(path).bytesAvailable(); }
    // No entry left (hidden ones included) and all space given back.
    bool isClean() const
    {
        return freeNow() == initialFree && QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden |
                                                              QDir::System | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    const QString path = QDir(dir.path()).canonicalPath();
    QString reason;          // empty when mounted
    qint64 initialFree = -1; // free bytes right after mounting
};
