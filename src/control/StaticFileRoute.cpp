// The web UI's files from the resource folder ("/<arg>", registered last). Paths that
// leave the resource folder (also through symbolic links) get 404; large files are
// streamed from disk instead of being read whole.
#include "control/ApiRoute.h"
#include "control/DaemonService.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMimeDatabase>

namespace {

// Files up to this size are answered from one read; larger ones are streamed.
constexpr qint64 StreamThresholdBytes = 256 * 1024;

QByteArray mimeTypeOf(const QString &path)
{
    static const QMimeDatabase database;
    const QString suffix = QFileInfo(path).suffix().toLower();
    // The common web types directly: the database lookup is the slow part of a request.
    if (suffix == QLatin1String("html") || suffix == QLatin1String("htm"))
        return "text/html";
    if (suffix == QLatin1String("js"))
        return "text/javascript";
    if (suffix == QLatin1String("css"))
        return "text/css";
    if (suffix == QLatin1String("json"))
        return "application/json";
    if (suffix == QLatin1String("png"))
        return "image/png";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    return database.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name().toUtf8();
}

// The file below `root` that `relative` names, or "" when it leaves `root` or is no
// regular file.
QString resolveInside(const QString &root, const QString &relative)
{
    const QString rootPath = QFileInfo(root).canonicalFilePath();
    if (rootPath.isEmpty())
        return {};
    const QFileInfo target(rootPath + QLatin1Char('/') + relative);
    const QString targetPath = target.canonicalFilePath(); // resolves "..", "." and links
    if (targetPath.isEmpty() || !target.isFile())
        return {};
    if (!targetPath.startsWith(rootPath + QLatin1Char('/')))
        return {};
    return targetPath;
}

} // namespace

void registerStaticFileRoute(QHttpServer &server, DaemonService &service)
{
    server.route("/<arg>", [&service](const QUrl &url, const QHttpServerRequest &request,
                                      QHttpServerResponder &&responder) {
        Q_UNUSED(request)
        QString relative = url.path(QUrl::FullyDecoded);
        if (relative.isEmpty())
            relative = QStringLiteral("index.html");
        const QString path = resolveInside(service.resFolder(), relative);
        if (path.isEmpty()) {
            responder.write(QHttpServerResponder::StatusCode::NotFound);
            return;
        }
        auto *file = new QFile(path);
        if (!file->open(QIODevice::ReadOnly)) {
            qWarning().noquote() << "cannot read web file" << path << ":" << file->errorString();
            delete file;
            responder.write(QHttpServerResponder::StatusCode::NotFound);
            return;
        }
        const QByteArray mime = mimeTypeOf(path);
        if (file->size() <= StreamThresholdBytes) {
            const QByteArray content = file->readAll();
            delete file;
            responder.write(content, mime);
            return;
        }
        responder.write(file, mime); // takes the file and streams it in chunks
    });
}
