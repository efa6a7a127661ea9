// Shutdown of the real application as a station runs it: tiles showing test sources,
// senders vanishing just before SIGTERM. Every run must end with 0, without a sanitizer
// report (this test is part of the sanitizer tree's run), and with the log's closing line.
//
// With the argument "soak" (CTest label "soak", not part of the default run) it runs a long
// session instead: sixteen tiles, four senders killed and restarted every few seconds,
// windows swapped through the API, leak detection at exit, and the application's resident
// memory printed over time. DR_SOAK_SECONDS sets its length (default 900).
#include "TestSupport.h"
#include "app/ExitDeadline.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray kClosingLine = "desk-recorder stopped, exit code 0";

// Our runtime isolated for this test: its own registry, discovery port and no interface.
QProcessEnvironment runtimeEnv(const QString &registry, quint16 discoveryPort)
{
    QProcessEnvironment env;
    env.insert("DESK_RECORDER_NDI_LIB", drtest::buildDir() + "/libdesk-recorder-ndi.so");
    env.insert("DESK_RECORDER_NDI_REGISTRY", registry);
    env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(discoveryPort));
    env.insert("DESK_RECORDER_NDI_INTERFACES", "none");
    env.insert("DR_DEVICE_PROBE_PORT", "9"); // the device probe asks the discard port
    // No session bus here: without an address libdbus would fork a bus launcher from the
    // multi-threaded application, and a sanitizer's allocator lock held by another thread
    // at that moment hangs the child and the caller waiting for it.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/desk-recorder-test-bus");
    return env;
}

// Test senders that can be killed (SIGKILL, as a crash or a pulled cable) and started again
// under the same name.
class SenderFleet
{
public:
    explicit SenderFleet(const QProcessEnvironment &env) : m_env(env) {}

    bool start(int count)
    {
        m_senders.resize(size_t(count));
        m_names.resize(count);
        for (int i = 0; i < count; ++i)
            if (!restart(i))
                return false;
        return true;
    }
    bool restart(int i)
    {
        auto &sender = m_senders[size_t(i)];
        sender = std::make_unique<drtest::ChildProcess>();
        const QString base =
            QStringLiteral("Shutdown %1-%2").arg(QCoreApplication::applicationPid()).arg(i);
        // The time limit ends a sender whose test died before it could stop it.
        if (!sender->start(
                drtest::buildDir() + "/ndi-testsrc",
                {"--name", base, "--resolution", "320x180", "--fps", "10", "--seconds", "1800"},
                m_env) ||
            !sender->waitForOutput("started ", 20000))
            return false;
        static const QRegularExpression started("started \"(.*)\" address=");
        m_names[i] = started.match(sender->output()).captured(1);
        return !m_names[i].isEmpty();
    }
    void kill(int i) { m_senders[size_t(i)]->kill(); }
    QString name(int i) const { return m_names[i]; }
    int count() const { return int(m_senders.size()); }
    // Receivers connected to sender i as it last reported (-1 before any report).
    int connections(int i)
    {
        const QString out = m_senders[size_t(i)]->output();
        const QString key = "connections \"" + m_names[i] + "\" ";
        const int at = out.lastIndexOf(key);
        return at < 0 ? -1 : out.mid(at + key.size()).section('\n', 0, 0).trimmed().toInt();
    }

private:
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<drtest::ChildProcess>> m_senders;
    QStringList m_names;
};

// Resident memory of a process in MiB, 0 when unknown.
double rssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

// The GL driver draws the window under Xvfb, and is unloaded during exit, before the leak
// check: its blocks left at exit then carry addresses no loaded library covers, and no
// suppression can name it. Loading it ahead (after the sanitizer runtime, which must come
// first) keeps it mapped, so its reports are named and suppressed like any third party's.
QString glDriverPreload()
{
    QString sanitizer;
    QFile maps("/proc/self/maps");
    if (maps.open(QIODevice::ReadOnly))
        for (const QByteArray &line : maps.readAll().split('\n'))
            if (line.contains("/libasan.so")) {
                sanitizer = QString::fromUtf8(line.mid(line.indexOf('/')));
                break;
            }
    for (const char *dir : {"/usr/lib/x86_64-linux-gnu/dri", "/usr/lib/aarch64-linux-gnu/dri",
                            "/usr/lib64/dri", "/usr/lib/dri"})
        if (QFile::exists(QString::fromLatin1(dir) + "/swrast_dri.so"))
            return (sanitizer + ' ' + dir + "/swrast_dri.so").trimmed();
    return sanitizer;
}

} // namespace

class TestShutdown : public QObject
{
    Q_OBJECT

public:
    bool soak = false;

private:
    QTemporaryDir m_registry;
    QProcessEnvironment m_env;
    std::unique_ptr<SenderFleet> m_fleet;
    drtest::XvfbServer m_xvfb;

    // Starts the application (windowed on the test's Xvfb unless headless), with a layout of
    // `layoutId` whose first windows show the fleet's sources. Empty, or what went wrong.
    QString startApp(drtest::AppInstance &app, bool headless, int layoutId, bool detectLeaks)
    {
        QProcessEnvironment env = m_env;
        QString asan = qEnvironmentVariable("ASAN_OPTIONS");
        if (detectLeaks) {
            asan += QStringLiteral(":detect_leaks=1");
            env.insert("LSAN_OPTIONS",
                       QStringLiteral("suppressions=%1/tests/app/lsan-thirdparty.supp")
                           .arg(drtest::sourceDir()));
            if (!headless)
                env.insert("LD_PRELOAD", glDriverPreload());
        }
        if (!headless) {
            // QtWebEngine's own destructor frees with a size other than it allocated (a
            // new/delete size mismatch inside the library at exit, not in our code); only
            // that kind of report is turned off, and only for the windowed runs.
            asan += QStringLiteral(":new_delete_type_mismatch=0");
            env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1"); // tests run as root
            // The web view renders in the application's process: forking the instrumented
            // application for the web engine's helper processes takes tens of seconds on a
            // busy machine and can hang the child on a sanitizer lock held at that moment.
            env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--single-process");
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", m_xvfb.display());
        }
        if (asan.startsWith(':'))
            asan.remove(0, 1);
        env.insert("ASAN_OPTIONS", asan);
        app.headless = headless;
        const auto failed = [&](const char *what) {
            return QString::fromLatin1(what) + "\n" +
                   QString::fromUtf8(drtest::readLogs(app.dataDir()).right(3000));
        };
        if (!app.start({}, env, 120000))
            return failed("no start");
        const QJsonObject layout{{"layout_id", layoutId}, {"layout_number", layoutId * layoutId}};
        // Generous timeouts: a sanitizer build drawing its tiles on a busy machine is slow.
        const auto post = [&](const char *path, const QJsonObject &body) {
            return drtest::httpPostJson(app.url(path), body, 60000).json()["result"] == "ok";
        };
        if (!post("/api/output/setLayout.json", layout))
            return failed("no layout");
        const bool listed = drtest::waitUntil(
            [&] {
                const QJsonArray list = drtest::httpGet(app.url("/api/source/get.json"), 30000)
                                            .json()["data"]
                                            .toArray();
                return list.size() >= m_fleet->count();
            },
            60000);
        if (!listed)
            return failed("sources not listed");
        for (int i = 0; i < m_fleet->count(); ++i) {
            const QJsonObject set{
                {"type", "source"}, {"position", i + 1}, {"stream_id", m_fleet->name(i)}};
            if (!post("/api/output/setSource.json", set))
                return failed("setSource refused");
        }
        return {};
    }
    // Tiles receive: every sender reports a receiver connected.
    bool allReceiving()
    {
        return drtest::waitUntil(
            [&] {
                for (int i = 0; i < m_fleet->count(); ++i)
                    if (m_fleet->connections(i) < 1)
                        return false;
                return true;
            },
            60000);
    }
    // SIGTERM; the end must be clean.
    void terminateCleanly(drtest::AppInstance &app)
    {
        ::kill(static_cast<pid_t>(app.process().pid()), SIGTERM);
        const bool ended = drtest::waitUntil([&] { return !app.process().isRunning(); }, 60000);
        if (!ended) { // where it hangs, for the report
            QProcess gdb;
            gdb.start("gdb", {"-p", QString::number(app.process().pid()), "-batch", "-ex",
                              "thread apply all bt 30"});
            gdb.waitForFinished(120000);
            std::fprintf(stderr, "threads of the application that did not end:\n%s\n",
                         gdb.readAllStandardOutput().right(60000).constData());
        }
        const QString out = app.process().output();
        const bool clean = ended && app.process().process().exitCode() == 0 &&
                           !out.contains("Sanitizer") && !out.contains("runtime error");
        // The whole story, beyond what a failure message holds (a leak report whole).
        const qsizetype report = out.indexOf("Sanitizer");
        if (!clean)
            std::fprintf(stderr, "output:\n%s\nlog:\n%s\n",
                         qPrintable(report >= 0 ? out.mid(qMax<qsizetype>(0, report - 2000))
                                                : out.right(20000)),
                         drtest::readLogs(app.dataDir()).right(4000).constData());
        QVERIFY(ended);
        QCOMPARE(app.process().process().exitStatus(), QProcess::NormalExit);
        QVERIFY2(app.process().process().exitCode() == 0, qPrintable(out.right(6000)));
        QVERIFY2(!out.contains("Sanitizer") && !out.contains("runtime error"),
                 qPrintable(out.right(12000)));
        const QByteArray log = drtest::readLogs(app.dataDir()).trimmed();
        QVERIFY2(log.endsWith(kClosingLine), log.right(1500).constData());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_registry.isValid());
        qunsetenv("QT_QTESTLIB_RUNNING"); // the application runs as it does for its users
        m_env = runtimeEnv(m_registry.path(), drtest::freeTcpPort());
        m_fleet = std::make_unique<SenderFleet>(m_env);
        QVERIFY(m_xvfb.start());
        QVERIFY(m_fleet->start(soak ? 16 : 8));
    }

    // Eight sources in a nine-window layout; two senders die just before SIGTERM, at a
    // different moment of the application's reaction in each round.
    void endsCleanlyWithSendersGone_data()
    {
        QTest::addColumn<bool>("headless");
        QTest::addColumn<int>("killedBeforeMs");
        for (bool headless : {false, true})
            for (int ms : {0, 300, 1500})
                QTest::addRow("%s, senders killed %d ms before", headless ? "headless" : "window",
                              ms)
                    << headless << ms;
    }
    void endsCleanlyWithSendersGone()
    {
        if (soak)
            QSKIP("soak run");
        QFETCH(bool, headless);
        QFETCH(int, killedBeforeMs);
        drtest::AppInstance app;
        const QString error = startApp(app, headless, 3, false);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (!headless) {
            QVERIFY2(allReceiving(), "not every tile received its source");
            // The web view has loaded its page once that page joins the event channel. A
            // termination while the page still loads can hang inside the web engine's own
            // teardown after ours has finished; that case is not this test's subject.
            // A sanitizer build beside other tests on two cores may not get there in time:
            // that round then proves nothing and is skipped, not failed.
            // (The application is then ended by the test's own clean-up.)
            if (!app.process().waitForOutput(" connected!", 90000))
                QSKIP("the web view did not load its page within 90 s");
        }
        static int round = 0;
        const int first = round++ % 4; // other senders each round
        m_fleet->kill(first);
        m_fleet->kill(first + 4);
        QTest::qWait(killedBeforeMs);
        terminateCleanly(app);
        QVERIFY(m_fleet->restart(first) && m_fleet->restart(first + 4));
    }

    // A teardown that hangs after shutdown still ends, with the code shutdown chose.
    void libraryTeardownDeadline()
    {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ExitDeadline::arm(1, 3);
            for (;;)
                ::pause(); // a hang
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 3);
    }

    void soakSession()
    {
        if (!soak)
            QSKIP("only with the argument \"soak\"");
        const int seconds = qEnvironmentVariableIsSet("DR_SOAK_SECONDS")
                                ? qEnvironmentVariableIntValue("DR_SOAK_SECONDS")
                                : 900;
        drtest::AppInstance app;
        const QString error = startApp(app, false, 4, true);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(allReceiving(), "not every tile received its source");
        const qint64 pid = app.process().pid();
        QElapsedTimer clock;
        clock.start();
        double warmRss = 0, lastRss = 0;
        qint64 nextSampleMs = 0;
        int cycle = 0;
        QStringList shown; // source of each window, by position - 1
        for (int i = 0; i < m_fleet->count(); ++i)
            shown << m_fleet->name(i);
        while (clock.elapsed() < seconds * 1000LL) {
            QVERIFY2(app.process().isRunning(), qPrintable(app.process().output().right(8000)));
            // Four senders die, two windows swap, the four come back.
            const int group = cycle % 4;
            for (int k = 0; k < 4; ++k)
                m_fleet->kill(group * 4 + k);
            const int a = 1 + (cycle * 7) % 16, b = 1 + (cycle * 7 + 5) % 16;
            for (const auto &[to, from] : {std::pair{a, b}, std::pair{b, a}}) {
                const QJsonObject swap{
                    {"type", "display"}, {"position", to}, {"stream_id", shown[from - 1]}};
                QCOMPARE(drtest::httpPostJson(app.url("/api/output/setSource.json"), swap, 60000)
                             .json()["result"],
                         "ok");
            }
            shown.swapItemsAt(a - 1, b - 1);
            QTest::qWait(2000);
            for (int k = 0; k < 4; ++k)
                QVERIFY(m_fleet->restart(group * 4 + k));
            QTest::qWait(1000);
            ++cycle;
            if (clock.elapsed() >= nextSampleMs) {
                lastRss = rssMiB(pid);
                if (warmRss == 0 && clock.elapsed() >= seconds * 250LL)
                    warmRss = lastRss; // after a quarter of the run
                std::printf("soak: %4lld s  cycle %4d  rss %.1f MiB\n",
                            static_cast<long long>(clock.elapsed() / 1000), cycle, lastRss);
                std::fflush(stdout);
                nextSampleMs += 30000;
            }
        }
        lastRss = rssMiB(pid);
        std::printf("soak: end after %d cycles; rss after warm-up %.1f MiB, at the end %.1f MiB\n",
                    cycle, warmRss, lastRss);
        terminateCleanly(app);
        // Flat after warm-up: what still grows is a leak (allocator quarantine is bounded).
        if (warmRss > 0)
            QVERIFY2(lastRss < warmRss * 1.25 + 64,
                     qPrintable(QStringLiteral("%1 -> %2 MiB").arg(warmRss).arg(lastRss)));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestShutdown test;
    QStringList args = app.arguments();
    test.soak = args.removeAll(QStringLiteral("soak")) > 0;
    return QTest::qExec(&test, args);
}

#include "tst_shutdown.moc"
