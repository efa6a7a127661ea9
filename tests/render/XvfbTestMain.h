// Entry point of a test program that needs an X display with OpenGL: the program starts
// its own Xvfb, runs itself again as a child on that display (Qt picks the platform when the
// application object is created, so it cannot switch later), passes the child's output and
// exit code through, and stops the Xvfb server by PID.
#pragma once

#include "TestSupport.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QtTest>
#include <cstdio>

namespace rendertest {

inline constexpr const char *kChildEnv = "DR_RENDER_TEST_ON_DISPLAY";

// Runs `run()` in a QGuiApplication on an Xvfb display owned by this process.
template <typename Run> int runOnOwnDisplay(int argc, char **argv, Run run)
{
    if (qEnvironmentVariableIsSet(kChildEnv)) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
        QGuiApplication app(argc, argv);
        return run(argc, argv);
    }
    QCoreApplication app(argc, argv);
    drtest::XvfbServer xvfb;
    QProcess child;
    if (xvfb.start("1920x1080x24")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", xvfb.display());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert(kChildEnv, "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), app.arguments().mid(1));
    }
    if (!child.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot start Xvfb or run the test on its display\n");
        return 1;
    }
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1; // Xvfb stops here
}

} // namespace rendertest

#define RENDER_GUI_TEST_MAIN(TestClass)                                                            \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        return rendertest::runOnOwnDisplay(argc, argv, [](int c, char **v) {                       \
            TestClass test;                                                                        \
            return QTest::qExec(&test, c, v);                                                      \
        });                                                                                        \
    }
