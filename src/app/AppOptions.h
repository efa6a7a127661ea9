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
    // Address both servers listen on; empty: all interfaces.
    QString bindAddress;
    // Files holding the full-access and the read-only token; empty: none (open access).
    QString tokenFile;
    QString readOnlyTokenFile;

    // Parses `args` (args[0] is the program). Returns false with a one-line reason in
    // *error for unknown options, missing values and ports outside 1..65535.
    static bool parse(const QStringList &args, AppOptions *out, QString *error);
    // Takes what the command line left open from the data folder's settings.ini:
    // [network] bind, [access] tokenFile and readOnlyTokenFile (relative paths are taken
    // from the data folder). False with a one-line reason for a bind value that is no
    // address, or a read-only token without a full-access one.
    bool applySettings(const QString &dataFolder, QString *error);
    // Text printed by --help.
    static QString helpText(const QString &program);
    // ~/.local/share/desk-recorder (honours XDG_DATA_HOME).
    static QString defaultDataDir();
};
