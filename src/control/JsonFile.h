// Reading and writing the JSON settings files of the data folder.
//
// Writes are atomic: the new text goes to a temporary file in the same folder that is
// renamed over the old file, so a crash during a save leaves the previous file whole.
//
// Thread: any (no shared state).
#pragma once

#include <QJsonObject>
#include <QString>

class JsonFile
{
public:
    // The object of the file at `path`. A missing, unreadable, empty or invalid file
    // (or a document that is not an object) gives defaultOutputDocument(); a missing or
    // unreadable file is also logged with its path.
    static QJsonObject readJsonFile(const QString &path);
    // Writes `object` as indented JSON text. Returns false (and logs) when the file
    // could not be written; the previous file then stays as it was.
    static bool writeJsonFile(const QJsonObject &object, const QString &path);
    // The document used in place of a missing or broken file: one window "Camera-1" with
    // audio "off" in layout 1, storage split by time (60 min; 1024 MiB).
    static QJsonObject defaultOutputDocument();
};
