// Start-up and shutdown of the real desk-recorder binary: a bad command line, refusal of a
// taken port, an address not of this machine, unusable access tokens, an unusable data
// folder or a broken main window (taken from the working folder's res/ only with
// --developing), and clean ends on signals; access tokens from a file and from
// settings.ini, and the service unit.
#include "TestSupport.h"

#include <QDir>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    // Each run happens in a working folder whose res/ holds a broken main window and a page
    // of its own; only --developing takes them from there.
    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        m_data = std::make_unique<QTemporaryDir>();
        QVERIFY(
            drtest::writeFile(m_work->filePath("res/qml/MainWindow.qml"),
                              "import QtQuick\nItem {\n") &&
            drtest::writeFile(m_work->filePath("res/index.html"), "<p>working folder page</p>") &&
            drtest::writeFile(m_data->filePath("file"), "") &&
            drtest::writeFile(m_data->filePath("short-token"), "abc\n") &&
            drtest::writeFile(m_data->filePath("ro/settings.ini"),
                              "[access]\nreadOnlyTokenFile=viewer\n"));
    }

    void endsAtOnce_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // regular expression
        QTest::addColumn<QString>("logged");
        const auto row = [](const char *name, const QStringList &args, int code, const char *output,
                            const char *logged = "") {
            QTest::newRow(name) << args << code << QString(output) << QString(logged);
        };
        const QStringList ports{"--http-port", "HTTP", "--ws-port", "WS"};
        row("bad port", {"--headless", "--http-port", "http"}, 2,
            "--http-port needs a port number");
        row("taken port",
            {"--headless", "--data-dir", "DATA", "--http-port", "TAKEN", "--ws-port", "WS"}, 255,
            "cannot listen on HTTP port", "daemonService listen this port failed! : TAKEN");
        row("unusable data folder",
            QStringList{"--headless", "--data-dir", "DATA/file/data"} + ports, 255,
            "cannot use the data folder");
        row("bind address not of this machine",
            QStringList{"--headless", "--data-dir", "DATA", "--bind", "192.0.2.1"} + ports, 255,
            "cannot listen on .* port \\d+ at 192.0.2.1");
        row("bind not an address", {"--headless", "--bind", "localhost"}, 2,
            "--bind needs an IP address");
        row("short token",
            QStringList{"--headless", "--data-dir", "DATA", "--token-file", "DATA/short-token"} +
                ports,
            255, "unusable token file .*short-token: the token has fewer than 8 characters");
        row("read-only token alone", QStringList{"--headless", "--data-dir", "DATA/ro"} + ports,
            255, "a read-only token needs a full-access token");
        row("broken main window", QStringList{"--developing", "--data-dir", "DATA"} + ports, 255,
            "cannot load", "application engine load main.qml failed!");
    }
    void endsAtOnce()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, logged);
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        const QString taken = QString::number(squatter.serverPort());
        logged.replace("TAKEN", taken);
        drtest::ChildProcess child;
        QVERIFY(start(child, args.replaceInStrings("TAKEN", taken)));
        QVERIFY(drtest::waitUntil([&] { return !child.isRunning(); }, 30000));
        QTEST(child.process().exitCode(), "code");
        QFETCH(QString, output);
        QVERIFY2(QRegularExpression(output).match(child.output()).hasMatch(),
                 qPrintable(child.output()));
        QVERIFY2(logs().contains(logged.toUtf8()), logs().constData());
    }

    // Whatever the working folder, the web UI comes from res/ beside the executable; a
    // signal ends the run cleanly with the last lines in the log.
    void headlessRunEndsOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void headlessRunEndsOnSignal()
    {
        QFETCH(int, signal);
        drtest::AppInstance app;
        QVERIFY(app.start());
        const drtest::HttpReply page = app.get("/");
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("<title>Desk Recorder</title>"));
        QVERIFY(QFile::exists(app.dataDir() + "/settings.ini"));

        ::kill(static_cast<pid_t>(app.process().pid()), signal);
        QVERIFY(drtest::waitUntil([&] { return !app.process().isRunning(); }, 10000));
        QCOMPARE(app.process().process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().process().exitCode(), 0);
        const QByteArray log = drtest::readLogs(app.dataDir());
        for (const QByteArray &line :
             {QByteArray("\tLEVEL_4\tdesk-recorder running\r\n"),
              QByteArray("open window success!"), QByteArray("Init crashdump plugin error."),
              "signal " + QByteArray::number(signal) + " received; shutting down"})
            QVERIFY2(log.contains(line), log.constData());
        // The last line is written before the end, not lost in the queue.
        QVERIFY2(log.contains("desk-recorder shutting down\r\n"), log.right(600).constData());
    }

    // A token from --token-file and a read-only one from settings.ini: the API and the
    // event channel need one of them, the read-only one cannot change anything, and
    // neither token reaches the output or the log.
    void tokensFromFileAndSettings()
    {
        drtest::AppInstance app;
        QVERIFY(drtest::writeFile(app.dataDir() + "/operator", "operator-secret-1\n") &&
                drtest::writeFile(app.dataDir() + "/viewer", "viewer-secret-2\n") &&
                drtest::writeFile(app.dataDir() + "/settings.ini",
                                  "[access]\nreadOnlyTokenFile=viewer\n"));
        QVERIFY(app.start({"--token-file", app.dataDir() + "/operator"}));
        const auto call = [&](const QByteArray &method, const QString &path,
                              const QByteArray &token) {
            return drtest::httpSend(
                app.url(path), method,
                method == "POST" ? "{\"project_id\": 1, \"project_name\": \"x\"}" : "",
                {{"Authorization", "Bearer " + token}});
        };
        // Which route takes which token: tst_api_contract; here both tokens are in force.
        QCOMPARE(app.get("/api/output/get.json").status, 401);
        QCOMPARE(call("POST", "/api/project/set.json", "viewer-secret-2").status, 403);
        QCOMPARE(call("POST", "/api/project/set.json", "operator-secret-1").json().value("result"),
                 "ok");

        drtest::EventClient refused, viewer;
        QVERIFY(!refused.open(app.wsUrl(), 2000));
        QVERIFY(viewer.open(app.wsUrl() + "/?token=viewer-secret-2"));
        QVERIFY(viewer.waitFor(
            [](const QJsonObject &m) { return m.value("name") == "output/update"; }, 5000));
        QCOMPARE(app.stop(), 0);
        const QByteArray seen = app.process().output().toUtf8() + drtest::readLogs(app.dataDir());
        QVERIFY(seen.contains("access: full-access and read-only tokens"));
        QVERIFY2(!seen.contains("operator-secret") && !seen.contains("viewer-secret"),
                 seen.constData());
    }

    // The service unit passes systemd's own check (where systemd is installed), with
    // ExecStart pointed at this build.
    void serviceUnitVerifies()
    {
        if (QStandardPaths::findExecutable("systemd-analyze").isEmpty())
            QSKIP("systemd-analyze is not installed");
        QFile unit(drtest::sourceDir() + "/packaging/desk-recorder.service");
        QVERIFY(unit.open(QIODevice::ReadOnly));
        QByteArray text = unit.readAll();
        QVERIFY(text.contains("/opt/desk-recorder/desk-recorder"));
        text.replace("/opt/desk-recorder/desk-recorder",
                     (drtest::buildDir() + "/desk-recorder").toUtf8());
        const QString copy = m_work->filePath("desk-recorder.service");
        QVERIFY(drtest::writeFile(copy, text));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start("systemd-analyze", {"verify", copy});
        QVERIFY(verify.waitForFinished(30000));
        const QString output = QString::fromUtf8(verify.readAll());
        QVERIFY2(verify.exitCode() == 0 && !output.contains("desk-recorder.service"),
                 qPrintable(output));
    }

private:
    // Runs the binary in the working folder; HTTP, WS and DATA in args become two distinct
    // fresh ports and the data folder. exec keeps the PID, so the test still ends the program.
    bool start(drtest::ChildProcess &child, QStringList args)
    {
        const quint16 http = drtest::freeTcpPort();
        quint16 ws;
        do
            ws = drtest::freeTcpPort();
        while (ws == http);
        args.replaceInStrings("HTTP", QString::number(http))
            .replaceInStrings("WS", QString::number(ws))
            .replaceInStrings("DATA", m_data->path());
        QProcessEnvironment env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const QString shell = "cd \"$0\" && exec \"$@\"",
                      binary = drtest::buildDir() + "/desk-recorder";
        return child.start("/bin/sh", QStringList{"-c", shell, m_work->path(), binary} + args, env);
    }

    QByteArray logs() const { return drtest::readLogs(m_data->path()); }

    std::unique_ptr<QTemporaryDir> m_work, m_data;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
