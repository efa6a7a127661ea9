#include "MountTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

// mountinfo escapes space, tab, newline and backslash as \ooo (octal).
QString unescape(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && code >= 0 && code < 256) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

bool isUnder(const QString &path, const QString &mountPoint)
{
    if (mountPoint == QLatin1String("/"))
        return path.startsWith('/');
    return path == mountPoint ||
           (path.startsWith(mountPoint) && path.at(mountPoint.size()) == QLatin1Char('/'));
}

} // namespace

MountTable MountTable::parse(const QByteArray &mountinfo)
{
    MountTable table;
    for (const QByteArray &line : mountinfo.split('\n')) {
        // id parent major:minor root mount-point options [optional...] - type source super
        const QList<QByteArray> f = line.split(' ');
        const int dash = f.indexOf("-");
        if (f.size() < 7 || dash < 6 || dash + 2 >= f.size())
            continue;
        const QList<QByteArray> dev = f[2].split(':');
        if (dev.size() != 2)
            continue;
        Entry e;
        bool okMajor = false;
        bool okMinor = false;
        e.major = dev[0].toUInt(&okMajor);
        e.minor = dev[1].toUInt(&okMinor);
        e.mountPoint = unescape(f[4]);
        e.fsType = unescape(f[dash + 1]);
        e.source = unescape(f[dash + 2]);
        if (!okMajor || !okMinor || !e.mountPoint.startsWith('/'))
            continue;
        table.m_entries.append(e);
    }
    return table;
}

MountTable MountTable::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // mountinfo is a seq file: size() is 0, so read until the end.
    return parse(file.readAll());
}

QString MountTable::existingAncestor(const QString &path)
{
    if (!QDir::isAbsolutePath(path))
        return {};
    QString current = QDir::cleanPath(path);
    while (true) {
        const QFileInfo info(current);
        if (info.exists())
            return info.canonicalFilePath();
        if (current == QLatin1String("/"))
            return {};
        current = info.absolutePath();
    }
}

const MountTable::Entry *MountTable::find(const QString &path) const
{
    const QString resolved = existingAncestor(path);
    if (resolved.isEmpty())
        return nullptr;
    const Entry *best = nullptr;
    for (const Entry &e : m_entries) {
        if (isUnder(resolved, e.mountPoint) &&
            (best == nullptr || e.mountPoint.size() >= best->mountPoint.size()))
            best = &e;
    }
    return best;
}

bool MountTable::isNetworkFileSystem(const QString &fsType)
{
    static const QSet<QString> kinds = {QStringLiteral("nfs"),
                                        QStringLiteral("nfs4"),
                                        QStringLiteral("cifs"),
                                        QStringLiteral("smb3"),
                                        QStringLiteral("smbfs"),
                                        QStringLiteral("ncpfs"),
                                        QStringLiteral("9p"),
                                        QStringLiteral("afs"),
                                        QStringLiteral("ceph"),
                                        QStringLiteral("glusterfs"),
                                        QStringLiteral("lustre"),
                                        QStringLiteral("coda"),
                                        QStringLiteral("davfs"),
                                        QStringLiteral("fuse.sshfs"),
                                        QStringLiteral("fuse.rclone"),
                                        QStringLiteral("fuse.s3fs"),
                                        QStringLiteral("fuse.glusterfs"),
                                        QStringLiteral("fuse.davfs2"),
                                        QStringLiteral("fuse.gvfsd-fuse"),
                                        QStringLiteral("fuse.cephfs"),
                                        QStringLiteral("fuse.smbnetfs"),
                                        QStringLiteral("fuse.curlftpfs")};
    return kinds.contains(fsType);
}
