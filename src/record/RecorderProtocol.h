// The line protocol of the recording program (res/bin/record/ndi-recorder): one XML element
// per line on standard input and output, such as
//   <record_started filename="/rec/a-1.mov" timecode="..."/>
//   <recording no_frames="30" dropped_frames="0" bytes="123" .../>
// Reading never fails: a line that is not one element gives an empty name.
// Thread: none (pure functions).
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class RecorderProtocol
{
public:
    struct Element
    {
        QString name;                      // empty when the line is not one element
        QMap<QString, QString> attributes; // entity references decoded
        QString value(const QString &key) const { return attributes.value(key); }
        qint64 number(const QString &key) const; // 0 when missing or not a number
    };

    static Element parseLine(const QByteArray &line);
    // `text` with &, <, > and " escaped for a double-quoted attribute value.
    static QString escapeAttribute(const QString &text);
    // The chop command: <record_chop filename="PATH"/> and a newline.
    static QByteArray chopCommand(const QString &path);
};
