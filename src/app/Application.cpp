#include "app/Application.h"

#include "app/AppOptions.h"
#include "app/CrashDumpLoader.h"
#include "app/NXLogger.h"
#include "app/PowerInhibitor.h"
#include "app/SignalWatcher.h"
#include "app/Translator.h"
#include "control/DaemonService.h"
#include "control/WebSocketServer.h"
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
#include <QIcon>
#include <QPointer>
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
               "level=0\n");
    file.commit();
}

QString webUiUrl(quint16 httpPort, quint16 wsPort)
{
    QString url = QStringLiteral("http://127.0.0.1:") + QString::number(httpPort) +
                  QStringLiteral("/index.html?");
    url += QStringLiteral("output=1");
    if (wsPort != AppOptions::kDefaultWsPort)
        url += QStringLiteral("&ws=") + QString::number(wsPort);
    return url;
}

void complain(const QString &text)
{
    std::fprintf(stderr, "desk-recorder: %s\n", qPrintable(text));
}

} // namespace

int Application::run(int argc, char **argv)
{
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

    NXLogger *logger = NXLogger::instance();
    // Failed start-up: keep the reason in the log file before the process ends.
    auto fail = [logger] {
        logger->flush(2000);
        logger->stop();
        return -1;
    };
    logger->setEchoToStderr(true, options.developing);
    logger->start(dataFolder, kLogSizeLimitBytes);
    qInfo().noquote() << "desk-recorder" << DR_VERSION
                      << "starting:" << (options.headless ? "headless," : "with window,")
                      << "base folder" << baseFolder << "data folder" << dataFolder << "HTTP port"
                      << options.httpPort << "event port" << options.wsPort;

    CrashDumpLoader::load(QCoreApplication::applicationDirPath(), dataFolder);

    if (!options.headless)
        QGuiApplication::setWindowIcon(QIcon(baseFolder + QStringLiteral("/res/img/title.png")));

    WebSocketServer *events = WebSocketServer::instance();
    if (!events->start(options.wsPort))
        qWarning().noquote() << "event channel: cannot listen on port" << options.wsPort
                             << "- web clients get no live updates";

    DaemonService *daemon = DaemonService::instance();
    if (!daemon->init(dataFolder, baseFolder, options.httpPort)) {
        qDebug() << "daemonService init failed!";
        complain(QStringLiteral("cannot use the data folder %1").arg(dataFolder));
        return fail();
    }
    if (!daemon->startHttpServer()) {
        qDebug() << "daemonService listen this port failed! :" << options.httpPort;
        complain(QStringLiteral("cannot listen on HTTP port %1 (is another instance running?)")
                     .arg(options.httpPort));
        return fail();
    }

    QUrl initialUrl = QUrl::fromUserInput(webUiUrl(options.httpPort, options.wsPort));
    if (!initialUrl.isValid())
        initialUrl = QUrl::fromUserInput(QStringLiteral("about:blank"));

    SourceManager *sources = SourceManager::instance();
    sources->setNDIManualTargets(daemon->ndiGroups(), daemon->manualIps());
    // The discovery thread reports address changes; the recording side guards itself.
    QObject::connect(sources, &SourceManager::sourceAddressChanged, daemon,
                     &DaemonService::updateSourceAddress, Qt::DirectConnection);
    sources->startDiscover();
    daemon->sourceManager = sources;
    daemon->setWebSocketServer(events);

    // Locals of the window side, destroyed in reverse order before the application.
    std::unique_ptr<Translator> translator;
    std::unique_ptr<QQmlApplicationEngine> engine;
    if (!options.headless) {
#ifdef DR_HAVE_RENDER
        qmlRegisterType<VideoRender>("SceneGraphRendering", 1, 0, "Renderer");
#endif
        translator = std::make_unique<Translator>();
        engine = std::make_unique<QQmlApplicationEngine>();
        translator->attach(*static_cast<QGuiApplication *>(app.get()), *engine,
                           baseFolder + QStringLiteral("/res/qml"));
        QQmlContext *context = engine->rootContext();
        context->setContextProperty(QStringLiteral("daemonService"), daemon);
        context->setContextProperty(QStringLiteral("sourceManager"), sources);
        context->setContextProperty(QStringLiteral("initialUrl"), initialUrl);
        engine->load(QUrl::fromLocalFile(baseFolder + QStringLiteral("/res/qml/MainWindow.qml")));
        if (engine->rootObjects().isEmpty()) {
            qDebug() << "application engine load main.qml failed!";
            complain(QStringLiteral("cannot load %1/res/qml/MainWindow.qml").arg(baseFolder));
            return fail();
        }
        translator->loadLanguage(daemon->getCurrentLang());
        QObject::connect(daemon, &DaemonService::languageChanged, translator.get(),
                         &Translator::loadLanguage);
    }

    PowerInhibitor inhibitor;
    inhibitor.inhibit(QStringLiteral("desk-recorder"),
                      QStringLiteral("Showing and recording video sources"));

    daemon->setAudioFollowsWindows(options.headless); // no scene to switch the audio
    if (!daemon->openWindow()) {
        complain(QStringLiteral("cannot open the output"));
        return fail();
    }
    // The registry step of other platforms has no counterpart here.

    // SIGTERM/SIGINT/SIGHUP end the run as closing the window does: recordings are
    // released and the task thread ends before the event loop returns.
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, app.get(),
                     [&](int number) {
                         qInfo() << "signal" << number << "received; shutting down";
                         QPointer<QQuickWindow> window;
                         if (engine && !engine->rootObjects().isEmpty())
                             window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
                         if (window && window->isVisible())
                             window->close(); // the window's closing handler calls closeWindow
                         else
                             daemon->closeWindow();
                         QCoreApplication::quit();
                     });

    qInfo() << "desk-recorder running";
    QCoreApplication::exec();

    // Discovery ends first so its thread logs nothing after the closing line.
    sources->stopDiscover();
    qInfo() << "desk-recorder shutting down";
    inhibitor.release();
    logger->flush(1000);
    logger->stop();
    engine.reset();
    translator.reset();
    return 0;
}
