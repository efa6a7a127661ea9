#include "control/JsonFile.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

QJsonObject JsonFile::defaultOutputDocument()
{
    const QJsonObject window{{"id", 1},
                             {"showVideo", true},
                             {"showVolume", true},
                             {"name", "Camera-1"},
                             {"volume", "off"}};
    const QJsonObject storage{
        {"frmode", 0}, {"limitSize", 1024}, {"limitTime", 60}, {"limitType", "time"}};
    return QJsonObject{{"data", QJsonObject{{"id", 1},
                                            {"layout_count", 1},
                                            {"layout_id", 1},
                                            {"layout", QJsonArray{window}},
                                            {"storage", storage}}}};
}

QJsonObject JsonFile::readJsonFile(const QString &path)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning().noquote() << "layoutManager get json failed :" << path;
        return defaultOutputDocument();
    }
    const QByteArray content = file.readAll();
    if (content.isEmpty())
        return defaultOutputDocument();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning().noquote() << "settings file" << path << "is not valid JSON ("
                             << error.errorString() << "at offset" << error.offset
                             << "), using defaults";
        return defaultOutputDocument();
    }
    if (!document.isObject()) {
        qWarning().noquote() << "settings file" << path
                             << "does not hold a JSON object, using defaults";
        return defaultOutputDocument();
    }
    return document.object();
}

bool JsonFile::writeJsonFile(const QJsonObject &object, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning().noquote() << "cannot write settings file" << path << ":" << file.errorString();
        return false;
    }
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size() || !file.commit()) {
        qWarning().noquote() << "cannot write settings file" << path << ":" << file.errorString();
        return false;
    }
    return true;
}
