#include "app/Application.h"

#include "app/AppOptions.h"
#include "app/CrashDumpLoader.h"
#include "app/ExitDeadline.h"
#include "app/NXLogger.h"
#include "app/PowerInhibitor.h"
#include "app/SignalWatcher.h"
#include "app/Translator.h"
#include "control/AccessControl.h"
#include "control/DaemonService.h"
#include "control/WebSocketServer.h"
#include "discovery/DiscoveryInterfaces.h"
#include "discovery/SourceManager.h"
#ifdef DR_HAVE_RENDER
#include "render/VideoRender.h"
#endif

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QHostAddress>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSaveFile>
#include <QUrl>
#include <QtWebEngineQuick/QtWebEngineQuick>

#include <cstdio>
#include <memory>

namespace {

constexpr int kLogSizeLimitBytes = 0x400000;
// Time left to Qt's and the web engine's teardown after our shutdown, in seconds; a
// sanitizer build checks for leaks in that time, which is slow on a large process.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLibraryTeardownSeconds = 120;
#else
constexpr int kLibraryTeardownSeconds = 20;
#endif
const char *const kOrganisation = "Varimont";

// A fresh data folder gets a settings.ini with the log level, so the knob is visible.
void ensureLoggerSettings(const QString &dataFolder)
{
    const QString path = dataFolder + QStringLiteral("/settings.ini");
    if (QFileInfo::exists(path))
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write("[settings]\n"
               "; 0 keeps every message, 1 drops debug, 2 also warnings, 3 keeps fatal and\n"
               "; info, 4 only info, 5 nothing. Changes apply while the program runs.\n"
               "level=0\n"
               "\n"
               "; Listen on one address only (both ports), instead of all interfaces:\n"
               "; [network]\n"
               "; bind=127.0.0.1\n"
               "; Require an access token for the API and events (files hold the token on\n"
               "; their first line; relative paths are taken from this folder):\n"
               "; [access]\n"
               "; tokenFile=token\n"
               "; readOnlyTokenFile=viewer-token\n");
    file.commit();
}

// The embedded view's address: loopback unless the servers listen on one other address;
// the full-access token goes in the fragment, which the browser never sends anywhere.
QString webUiUrl(const AppOptions &options, const QByteArray &token)
{
    QString host = QStringLiteral("127.0.0.1");
    const QHostAddress bound(options.bindAddress);
    if (!options.bindAddress.isEmpty() && bound != QHostAddress(QHostAddress::Any) &&
        bound != QHostAddress(QHostAddress::AnyIPv4) &&
        bound != QHostAddress(QHostAddress::AnyIPv6)) {
        host = bound.protocol() == QAbstractSocket::IPv6Protocol
                   ? QLatin1Char('[') + bound.toString() + QLatin1Char(']')
                   : bound.toString();
    }
    QString url = QStringLiteral("http://") + host + QLatin1Char(':') +
                  QString::number(options.httpPort) + QStringLiteral("/index.html?");
    url += QStringLiteral("output=1");
    if (options.wsPort != AppOptions::kDefaultWsPort)
        url += QStringLiteral("&ws=") + QString::number(options.wsPort);
    if (!token.isEmpty())
        url += QStringLiteral("#token=") + QString::fromLatin1(QUrl::toPercentEncoding(token));
    return url;
}

// The tokens named by the options; false with a reason when a file is unusable.
bool loadAccess(const AppOptions &options, AccessControl *access, QByteArray *fullToken,
                QString *error)
{
    QByteArray readToken;
    if (!options.tokenFile.isEmpty() &&
        !AccessControl::readTokenFile(options.tokenFile, fullToken, error))
        return false;
    if (!options.readOnlyTokenFile.isEmpty() &&
        !AccessControl::readTokenFile(options.readOnlyTokenFile, &readToken, error))
        return false;
    if (!readToken.isEmpty() && readToken == *fullToken) {
        *error = QStringLiteral("the read-only token equals the full-access token");
        return false;
    }
    for (const QString &path : {options.tokenFile, options.readOnlyTokenFile}) {
        if (!path.isEmpty() && (QFileInfo(path).permissions() & QFileDevice::ReadOther))
            qWarning().noquote() << "the token file" << path << "is readable by every user";
    }
    access->setTokens(*fullToken, readToken);
    return true;
}

void complain(const QString &text)
{
    std::fprintf(stderr, "desk-recorder: %s\n", qPrintable(text));
}

// What start-up made that shutdown ends; a null member was not made (headless, or start-up
// failed before it).
struct Running
{
    NXLogger *logger = nullptr;
    WebSocketServer *events = nullptr;
    DaemonService *daemon = nullptr;
    SourceManager *sources = nullptr;
    std::unique_ptr<Translator> translator;
    std::unique_ptr<QQmlApplicationEngine> engine;
    std::unique_ptr<PowerInhibitor> inhibitor;
};

// The application's one shutdown order, for every way a run ends: the window closed,
// SIGTERM/SIGINT/SIGHUP, or start-up failing half-way; headless and windowed alike. It runs
// on the main thread after the event loop (or instead of it), so no route handler, QML call
// or queued signal runs meanwhile. When it returns, no thread of ours runs any more: the
// process-wide objects destroyed after main own none.
//   1. Recordings stopped and their files closed, audio output stopped (closeWindow; also
//      the recording task thread and the system monitor).
//   2. Tiles and window feeds released: the QML scene with its render items and render
//      thread goes, and with it every reference they held to a connection.
//   3. Discovery stopped and joined (it makes and drops connections, so it goes first;
//      its finder is destroyed on its thread), then every media connection's threads
//      ended and joined.
//   4. The NDI runtime's objects destroyed: the connections' receivers released and the
//      reaper that destroys them drained and joined. The runtime itself stays loaded.
//   5. The recorder plug-in's host thread ended; the HTTP server and the event channel
//      closed; the network sampler ended.
//   6. The power inhibition released, the closing line logged, the logger stopped last.
//   7. A deadline armed for the libraries' own teardown after main (ExitDeadline).
int shutDown(Running &r, int exitCode)
{
    qInfo() << "desk-recorder shutting down";
    if (r.daemon)
        r.daemon->closeWindow(); // 1
    r.engine.reset();            // 2
    r.translator.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (r.sources)
        r.sources->shutdown(); // 3, 4
    if (r.daemon)
        r.daemon->shutdown(); // 5
    if (r.events)
        r.events->stop();
    if (r.inhibitor)
        r.inhibitor->release(); // 6
    qInfo().noquote() << "desk-recorder stopped, exit code" << exitCode;
    r.logger->flush(2000);
    r.logger->stop();
    // What remains is Qt's and the web engine's teardown after main; it must not hold the
    // exit hostage (a page still loading when SIGTERM came can hang it).
    ExitDeadline::arm(kLibraryTeardownSeconds, exitCode);
    return exitCode;
}

} // namespace

int Application::run(int argc, char **argv)
{
    DiscoveryInterfaces::prepareEnvironment(); // before any thread exists
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    AppOptions options;
    QString error;
    if (!AppOptions::parse(args, &options, &error)) {
        complain(error + QStringLiteral(" (see --help)"));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(AppOptions::helpText(QFileInfo(args.value(0)).fileName())), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("desk-recorder %s\n", DR_VERSION);
        return 0;
    }

    // The application object: a plain core application when headless (HTTP, events,
    // discovery and audio need no display), otherwise a widget application with the web
    // engine prepared before it exists.
    std::unique_ptr<QCoreApplication> app;
    if (options.headless) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
        QtWebEngineQuick::initialize();
        app = std::make_unique<QApplication>(argc, argv);
    }
    // Installed at once so a termination request during start-up waits in the pipe and
    // ends the run as soon as the event loop starts.
    SignalWatcher signalWatcher;
    QCoreApplication::setOrganizationName(QLatin1String(kOrganisation));
    QCoreApplication::setOrganizationDomain(QLatin1String(kOrganisation));
    QCoreApplication::setApplicationName(QStringLiteral("desk-recorder"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DR_VERSION));
    if (!options.headless)
        QGuiApplication::setFont(QFont(QStringLiteral("Arial")));

    const QString baseFolder =
        options.developing ? QDir::currentPath() : QCoreApplication::applicationDirPath();
    const QString dataFolder =
        options.dataDir.isEmpty() ? AppOptions::defaultDataDir() : options.dataDir;
    if (!QDir().mkpath(dataFolder))
        complain(QStringLiteral("cannot create the data folder %1").arg(dataFolder));
    ensureLoggerSettings(dataFolder);

    Running running;
    NXLogger *logger = NXLogger::instance();
    running.logger = logger;
    // Failed start-up: what was started ends in the same order; the reason stays in the log.
    auto fail = [&running] { return shutDown(running, -1); };
    logger->setEchoToStderr(true, options.developing);
    logger->start(dataFolder, kLogSizeLimitBytes);
    qInfo().noquote() << "desk-recorder" << DR_VERSION
                      << "starting:" << (options.headless ? "headless," : "with window,")
                      << "base folder" << baseFolder << "data folder" << dataFolder << "HTTP port"
                      << options.httpPort << "event port" << options.wsPort;

    // Binding and access: the command line first, then settings.ini.
    auto access = std::make_shared<AccessControl>();
    QByteArray fullToken;
    if (!options.applySettings(dataFolder, &error) ||
        !loadAccess(options, access.get(), &fullToken, &error)) {
        qWarning().noquote() << "start-up refused:" << error;
        complain(error);
        return fail();
    }
    const QHostAddress bindAddress = options.bindAddress.isEmpty()
                                         ? QHostAddress(QHostAddress::Any)
                                         : QHostAddress(options.bindAddress);
    qInfo().noquote() << "listening on"
                      << (options.bindAddress.isEmpty() ? QStringLiteral("all interfaces")
                                                        : options.bindAddress)
                      << "; access:"
                      << (access->isOpen()         ? "open, no token"
                          : access->hasReadToken() ? "full-access and read-only tokens"
                                                   : "full-access token");

    CrashDumpLoader::load(QCoreApplication::applicationDirPath(), dataFolder);

    if (!options.headless)
        QGuiApplication::setWindowIcon(QIcon(baseFolder + QStringLiteral("/res/img/title.png")));

    WebSocketServer *events = WebSocketServer::instance();
    running.events = events;
    events->setAccessControl(access);
    if (!events->start(options.wsPort, bindAddress)) {
        // Without an explicit address the application runs on without live updates; an
        // address that was asked for and cannot be used is a configuration to fix.
        if (!options.bindAddress.isEmpty()) {
            complain(QStringLiteral("cannot listen on event port %1 at %2: %3")
                         .arg(options.wsPort)
                         .arg(options.bindAddress, events->errorString()));
            return fail();
        }
        qWarning().noquote() << "event channel: cannot listen on port" << options.wsPort
                             << "- web clients get no live updates";
    }

    DaemonService *daemon = DaemonService::instance();
    running.daemon = daemon;
    if (!daemon->init(dataFolder, baseFolder, options.httpPort)) {
        qDebug() << "daemonService init failed!";
        complain(QStringLiteral("cannot use the data folder %1").arg(dataFolder));
        return fail();
    }
    daemon->setBindAddress(bindAddress);
    daemon->setAccessControl(access);
    if (!daemon->startHttpServer()) {
        qDebug() << "daemonService listen this port failed! :" << options.httpPort;
        if (options.bindAddress.isEmpty()) {
            complain(QStringLiteral("cannot listen on HTTP port %1 (is another instance running?)")
                         .arg(options.httpPort));
        } else {
            complain(QStringLiteral("cannot listen on HTTP port %1 at %2 (is another instance "
                                    "running, or is %2 not an address of this machine?)")
                         .arg(options.httpPort)
                         .arg(options.bindAddress));
        }
        return fail();
    }

    QUrl initialUrl = QUrl::fromUserInput(webUiUrl(options, fullToken));
    if (!initialUrl.isValid())
        initialUrl = QUrl::fromUserInput(QStringLiteral("about:blank"));

    SourceManager *sources = SourceManager::instance();
    running.sources = sources;
    sources->setNDIManualTargets(daemon->ndiGroups(), daemon->manualIps());
    sources->setNDIInterfaces(daemon->ndiInterfaces());
    // The discovery thread reports address changes; the recording side guards itself.
    QObject::connect(sources, &SourceManager::sourceAddressChanged, daemon,
                     &DaemonService::updateSourceAddress, Qt::DirectConnection);
    sources->startDiscover();
    daemon->sourceManager = sources;
    daemon->setWebSocketServer(events);

    if (!options.headless) {
#ifdef DR_HAVE_RENDER
        qmlRegisterType<VideoRender>("SceneGraphRendering", 1, 0, "Renderer");
#endif
        running.translator = std::make_unique<Translator>();
        running.engine = std::make_unique<QQmlApplicationEngine>();
        QQmlApplicationEngine &engine = *running.engine;
        running.translator->attach(*static_cast<QGuiApplication *>(app.get()), engine,
                                   baseFolder + QStringLiteral("/res/qml"));
        QQmlContext *context = engine.rootContext();
        context->setContextProperty(QStringLiteral("daemonService"), daemon);
        context->setContextProperty(QStringLiteral("sourceManager"), sources);
        context->setContextProperty(QStringLiteral("initialUrl"), initialUrl);
        engine.load(QUrl::fromLocalFile(baseFolder + QStringLiteral("/res/qml/MainWindow.qml")));
        if (engine.rootObjects().isEmpty()) {
            qDebug() << "application engine load main.qml failed!";
            complain(QStringLiteral("cannot load %1/res/qml/MainWindow.qml").arg(baseFolder));
            return fail();
        }
        running.translator->loadLanguage(daemon->getCurrentLang());
        QObject::connect(daemon, &DaemonService::languageChanged, running.translator.get(),
                         &Translator::loadLanguage);
    }

    running.inhibitor = std::make_unique<PowerInhibitor>();
    running.inhibitor->inhibit(QStringLiteral("desk-recorder"),
                               QStringLiteral("Showing and recording video sources"));

    daemon->setAudioFollowsWindows(options.headless); // no scene to switch the audio
    if (!daemon->openWindow()) {
        complain(QStringLiteral("cannot open the output"));
        return fail();
    }
    // The registry step of other platforms has no counterpart here.

    // SIGTERM/SIGINT/SIGHUP end the event loop; shutDown then does what closing the
    // window does, and the rest.
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, app.get(),
                     [](int number) {
                         qInfo() << "signal" << number << "received; shutting down";
                         QCoreApplication::quit();
                     });

    qInfo() << "desk-recorder running";
    QCoreApplication::exec();
    return shutDown(running, 0);
}
