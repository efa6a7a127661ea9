#include "app/AppOptions.h"

#include <QDir>
#include <QHostAddress>
#include <QSettings>
#include <QStandardPaths>

namespace {

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value < 1 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

bool isAddress(const QString &text)
{
    return !QHostAddress(text).isNull();
}

} // namespace

bool AppOptions::parse(const QStringList &args, AppOptions *out, QString *error)
{
    AppOptions result;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString arg = args[i];
        QString inlineValue;
        bool hasInlineValue = false;
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QLatin1String("--")) && eq > 2) {
            inlineValue = arg.mid(eq + 1);
            hasInlineValue = true;
            arg.truncate(eq);
        }
        // Options that take a value accept "--opt value" and "--opt=value".
        auto takeValue = [&](QString *value) {
            if (hasInlineValue) {
                *value = inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *value = args[++i];
            return true;
        };
        auto flag = [&](bool *target) {
            if (hasInlineValue) {
                *error = QStringLiteral("option %1 takes no value").arg(arg);
                return false;
            }
            *target = true;
            return true;
        };

        if (arg == QLatin1String("--developing")) {
            if (!flag(&result.developing))
                return false;
        } else if (arg == QLatin1String("--headless")) {
            if (!flag(&result.headless))
                return false;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            if (!flag(&result.help))
                return false;
        } else if (arg == QLatin1String("--version")) {
            if (!flag(&result.version))
                return false;
        } else if (arg == QLatin1String("--data-dir")) {
            QString value;
            if (!takeValue(&value) || value.isEmpty()) {
                *error = QStringLiteral("--data-dir needs a folder");
                return false;
            }
            result.dataDir = QDir(value).absolutePath();
        } else if (arg == QLatin1String("--http-port") || arg == QLatin1String("--ws-port")) {
            QString value;
            quint16 port = 0;
            if (!takeValue(&value) || !parsePort(value, &port)) {
                *error = QStringLiteral("%1 needs a port number from 1 to 65535").arg(arg);
                return false;
            }
            (arg == QLatin1String("--http-port") ? result.httpPort : result.wsPort) = port;
        } else if (arg == QLatin1String("--bind")) {
            QString value;
            if (!takeValue(&value) || !isAddress(value)) {
                *error = QStringLiteral("--bind needs an IP address of this machine, such as "
                                        "127.0.0.1");
                return false;
            }
            result.bindAddress = value;
        } else if (arg == QLatin1String("--token-file") ||
                   arg == QLatin1String("--read-only-token-file")) {
            QString value;
            if (!takeValue(&value) || value.isEmpty()) {
                *error = QStringLiteral("%1 needs a file").arg(arg);
                return false;
            }
            (arg == QLatin1String("--token-file") ? result.tokenFile : result.readOnlyTokenFile) =
                QDir(value).absolutePath();
        } else {
            *error = QStringLiteral("unknown argument: %1").arg(args[i]);
            return false;
        }
    }
    if (result.httpPort == result.wsPort) {
        *error = QStringLiteral("--http-port and --ws-port must differ (both are %1)")
                     .arg(result.httpPort);
        return false;
    }
    *out = result;
    return true;
}

bool AppOptions::applySettings(const QString &dataFolder, QString *error)
{
    const QDir folder(dataFolder);
    const QSettings settings(folder.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    if (bindAddress.isEmpty()) {
        const QString value = settings.value(QStringLiteral("network/bind")).toString().trimmed();
        if (!value.isEmpty() && !isAddress(value)) {
            *error = QStringLiteral("settings.ini: [network] bind=%1 is no IP address").arg(value);
            return false;
        }
        bindAddress = value;
    }
    const auto path = [&](const char *key) {
        const QString value = settings.value(QLatin1String(key)).toString().trimmed();
        return value.isEmpty() ? value : folder.absoluteFilePath(value);
    };
    if (tokenFile.isEmpty())
        tokenFile = path("access/tokenFile");
    if (readOnlyTokenFile.isEmpty())
        readOnlyTokenFile = path("access/readOnlyTokenFile");
    if (tokenFile.isEmpty() && !readOnlyTokenFile.isEmpty()) {
        *error = QStringLiteral("a read-only token needs a full-access token as well "
                                "(--token-file or [access] tokenFile)");
        return false;
    }
    return true;
}

QString AppOptions::helpText(const QString &program)
{
    return QStringLiteral(
               "Usage: %1 [options]\n"
               "Shows and records NDI video sources; driven by its own web UI.\n"
               "\n"
               "Options:\n"
               "  --headless        run without window, QML and web view (HTTP API, events\n"
               "                    and source discovery still run)\n"
               "  --data-dir DIR    settings and logs folder (default %2)\n"
               "  --http-port N     HTTP API and web UI port (default %3)\n"
               "  --ws-port N       WebSocket event port (default %4)\n"
               "  --bind ADDRESS    listen on this address only (default: all interfaces)\n"
               "  --token-file FILE the API and events need the token held in FILE\n"
               "  --read-only-token-file FILE\n"
               "                    a second token that may only read\n"
               "  --developing      look for res/ in the working directory instead of\n"
               "                    beside the executable\n"
               "  --version         print the version and exit\n"
               "  --help            print this text and exit\n")
        .arg(program, defaultDataDir())
        .arg(kDefaultHttpPort)
        .arg(kDefaultWsPort);
}

QString AppOptions::defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/desk-recorder");
}
