// The mounts of this process (/proc/self/mountinfo) and the question "which mount holds
// this path". A value type; read it anew when the answer must be current.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class MountTable
{
public:
    struct Entry
    {
        QString mountPoint; // absolute, escapes (\040 ...) decoded
        QString fsType;     // "ext4", "nfs4", "fuse.sshfs", ...
        QString source;     // "/dev/vda1", "server:/export", ...
        quint32 major = 0;  // device numbers of the mount; 0:N for device-less file systems
        quint32 minor = 0;
    };

    // Parses mountinfo text; malformed lines are skipped.
    static MountTable parse(const QByteArray &mountinfo);
    // Reads the given file (default: this process's mounts); empty table when unreadable.
    static MountTable read(const QString &path = QStringLiteral("/proc/self/mountinfo"));

    const QList<Entry> &entries() const { return m_entries; }

    // The mount holding `path`: the deepest existing folder on the way to `path` is
    // resolved (symbolic links followed) and the mount with the longest matching mount
    // point wins; a later mount over the same point hides an earlier one. Null when the
    // table is empty or the path is not absolute.
    const Entry *find(const QString &path) const;

    // The deepest existing ancestor of `path` (or `path` itself), symbolic links resolved;
    // empty when nothing of it exists.
    static QString existingAncestor(const QString &path);

    // File systems whose data lives on another machine (NFS, SMB/CIFS, sshfs and other
    // network FUSE file systems, ...).
    static bool isNetworkFileSystem(const QString &fsType);

private:
    QList<Entry> m_entries;
};
