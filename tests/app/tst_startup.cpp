// Start-up and shutdown of the real desk-recorder binary, headless: command line, data
// folder, base folder, refusal of a taken port or an unusable data folder, clean ends.
#include "TestSupport.h"

#include <QDir>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

namespace {

QString binary()
{
    return drtest::buildDir() + "/desk-recorder";
}

QByteArray readLogs(const QString &folder)
{
    QByteArray text;
    QDir dir(folder);
    for (const QString &name : dir.entryList({"log_*.log"}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += file.readAll();
    }
    return text;
}

// Runs the binary to its end; returns the exit code (-1 when it did not end in time).
int runToEnd(drtest::ChildProcess &child, const QStringList &args, int timeoutMs = 20000)
{
    if (!child.start(binary(), args))
        return -1;
    if (!drtest::waitUntil([&] { return !child.isRunning(); }, timeoutMs))
        return -1;
    return child.process().exitCode();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void commandLine()
    {
        drtest::ChildProcess help;
        QCOMPARE(runToEnd(help, {"--help"}), 0);
        QVERIFY(help.output().contains("--http-port N"));
        QVERIFY(help.output().contains(".local/share/desk-recorder"));

        drtest::ChildProcess version;
        QCOMPARE(runToEnd(version, {"--version"}), 0);
        QVERIFY(version.output().startsWith("desk-recorder "));

        drtest::ChildProcess bad;
        QCOMPARE(runToEnd(bad, {"--headless", "--http-port", "http"}), 2);
        QVERIFY2(bad.output().contains("--http-port needs a port number"),
                 qPrintable(bad.output()));
    }

    void headlessRunAndTerminate()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        // The web UI comes from res/ beside the executable, whatever the working folder.
        const drtest::HttpReply page = app.get("/");
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("<title>Desk Recorder</title>"));
        QVERIFY(QFile::exists(app.dataDir() + "/settings.ini"));

        QCOMPARE(app.stop(), 0);
        const QByteArray log = readLogs(app.dataDir());
        QVERIFY2(log.contains("\tLEVEL_4\tdesk-recorder running\r\n"), log.constData());
        QVERIFY(log.contains("Init crashdump plugin error."));
        QVERIFY(log.contains("open window success!"));
        // The last lines before the end are in the file, not lost in the queue.
        QVERIFY(log.contains("signal 15 received; shutting down"));
        QVERIFY(log.endsWith("desk-recorder shutting down\r\n"));
    }

    void interruptEndsCleanly()
    {
        drtest::AppInstance app;
        QVERIFY(app.start());
        ::kill(static_cast<pid_t>(app.process().pid()), SIGINT);
        QVERIFY(drtest::waitUntil([&] { return !app.process().isRunning(); }, 10000));
        QCOMPARE(app.process().process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().process().exitCode(), 0);
    }

    void takenHttpPortEndsStartUp()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        QTemporaryDir data;
        drtest::ChildProcess child;
        const int code = runToEnd(child, {"--headless", "--data-dir", data.path(), "--http-port",
                                          QString::number(squatter.serverPort()), "--ws-port",
                                          QString::number(drtest::freeTcpPort())});
        QCOMPARE(code, 255);
        QVERIFY2(child.output().contains("cannot listen on HTTP port"), qPrintable(child.output()));
        QVERIFY(readLogs(data.path())
                    .contains("daemonService listen this port failed! : " +
                              QByteArray::number(squatter.serverPort())));
    }

    void unusableDataFolderEndsStartUp()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        drtest::ChildProcess child;
        const int code = runToEnd(child, {"--headless", "--data-dir", dir.filePath("file/data"),
                                          "--http-port", QString::number(drtest::freeTcpPort()),
                                          "--ws-port", QString::number(drtest::freeTcpPort())});
        QCOMPARE(code, 255);
        QVERIFY2(child.output().contains("cannot use the data folder"), qPrintable(child.output()));
    }

    // A main window file that does not load ends start-up; nothing is left running.
    void brokenMainWindowEndsStartUp()
    {
        QTemporaryDir work, data;
        QVERIFY(QDir(work.path()).mkpath("res/qml"));
        QFile qml(work.filePath("res/qml/MainWindow.qml"));
        QVERIFY(qml.open(QIODevice::WriteOnly));
        qml.write("import QtQuick\nItem {\n");
        qml.close();
        drtest::ChildProcess child;
        QProcessEnvironment env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QVERIFY(
            child.start("/bin/sh",
                        {"-c",
                         "cd \"$0\" && exec \"$1\" --developing --data-dir \"$2\" "
                         "--http-port \"$3\" --ws-port \"$4\"",
                         work.path(), binary(), data.path(), QString::number(drtest::freeTcpPort()),
                         QString::number(drtest::freeTcpPort())},
                        env));
        QVERIFY(drtest::waitUntil([&] { return !child.isRunning(); }, 30000));
        QCOMPARE(child.process().exitCode(), 255);
        QVERIFY2(child.output().contains("cannot load"), qPrintable(child.output()));
        QVERIFY(readLogs(data.path()).contains("application engine load main.qml failed!"));
    }

    // With --developing the web UI comes from the working folder's res/.
    void developingUsesWorkingFolder()
    {
        QTemporaryDir work, data;
        QVERIFY(QDir(work.path()).mkpath("res"));
        QFile page(work.filePath("res/index.html"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("<p>working folder page</p>");
        page.close();

        const quint16 port = drtest::freeTcpPort();
        drtest::ChildProcess child;
        // exec keeps the PID, so the test still ends the program itself.
        QVERIFY(
            child.start("/bin/sh", {"-c",
                                    "cd \"$0\" && exec \"$1\" --developing --headless --data-dir "
                                    "\"$2\" --http-port \"$3\" --ws-port \"$4\"",
                                    work.path(), binary(), data.path(), QString::number(port),
                                    QString::number(drtest::freeTcpPort())}));
        const QString url = QStringLiteral("http://127.0.0.1:%1/index.html").arg(port);
        QVERIFY(drtest::waitUntil(
            [&] { return !child.isRunning() || drtest::httpGet(url, 500).status != 0; }, 20000));
        QCOMPARE(drtest::httpGet(url).body, QByteArray("<p>working folder page</p>"));
        QCOMPARE(child.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
