// Start-up and shutdown of the real desk-recorder binary: a bad command line, refusal of a
// taken port, an unusable data folder or a broken main window (taken from the working
// folder's res/ only with --developing), and clean ends on signals.
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
        QVERIFY(QDir(m_work->path()).mkpath("res/qml"));
        write(m_work->filePath("res/qml/MainWindow.qml"), "import QtQuick\nItem {\n");
        write(m_work->filePath("res/index.html"), "<p>working folder page</p>");
        write(m_data->filePath("file"), "");
    }

    void endsAtOnce_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // regular expression
        QTest::addColumn<QString>("logged");
        const QStringList ports{"--http-port", "FREE", "--ws-port", "FREE"};
        QTest::newRow("bad port") << QStringList{"--headless", "--http-port", "http"} << 2
                                  << "--http-port needs a port number"
                                  << "";
        QTest::newRow("taken port")
            << QStringList{"--headless", "--data-dir", "DATA", "--http-port",
                           "TAKEN",      "--ws-port",  "FREE"}
            << 255 << "cannot listen on HTTP port"
            << "daemonService listen this port failed! : TAKEN";
        QTest::newRow("unusable data folder")
            << QStringList{"--headless", "--data-dir", "DATA/file/data"} + ports << 255
            << "cannot use the data folder"
            << "";
        QTest::newRow("broken main window")
            << QStringList{"--developing", "--data-dir", "DATA"} + ports << 255 << "cannot load"
            << "application engine load main.qml failed!";
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

private:
    // Runs the binary in the working folder; DATA and FREE in args become the data folder
    // and fresh ports. exec keeps the PID, so the test still ends the program itself.
    bool start(drtest::ChildProcess &child, QStringList args)
    {
        args.replaceInStrings("DATA", m_data->path());
        quint16 lastPort = 0;
        for (QString &arg : args) {
            if (arg == "FREE") {
                quint16 port;
                do
                    port = drtest::freeTcpPort();
                while (port == lastPort);
                arg = QString::number(lastPort = port);
            }
        }
        QProcessEnvironment env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return child.start("/bin/sh",
                           QStringList{"-c", "cd \"$0\" && exec \"$@\"", m_work->path(),
                                       drtest::buildDir() + "/desk-recorder"} +
                               args,
                           env);
    }

    QByteArray logs() const { return drtest::readLogs(m_data->path()); }

    static void write(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    std::unique_ptr<QTemporaryDir> m_work, m_data;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
