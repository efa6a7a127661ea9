// The command line of desk-recorder, parsed before any Qt application object exists
// (headless mode decides which application class is built).
//
// Thread: plain value type, used on the main thread during start-up.
#pragma once

#include <QString>
#include <QStringList>

struct AppOptions
{
    static constexpr quint16 kDefaultHttpPort = 65534;
    static constexpr quint16 kDefaultWsPort = 12345;

    bool developing = false; // base folder = working directory instead of the executable's
    bool headless = false;   // no window, no QML, no web view
    bool help = false;
    bool version = false;
    QString dataDir; // empty: the per-user default (see defaultDataDir)
    quint16 httpPort = kDefaultHttpPort;
    quint16 wsPort = kDefaultWsPort;

    // Parses `args` (args[0] is the program). Returns false with a one-line reason in
    // *error for unknown options, missing values and ports outside 1..65535.
    static bool parse(const QStringList &args, AppOptions *out, QString *error);
    // Text printed by --help.
    static QString helpText(const QString &program);
    // ~/.local/share/desk-recorder (honours XDG_DATA_HOME).
    static QString defaultDataDir();
};
