// The web UI in Chromium against a headless desk-recorder, driven by playwright-core:
// - webui.js: live connection, layout, window names, sources, audio, swap, removal,
//   discovery targets, project, clock server, language and a short recording of a test
//   source; with an access token, the token asked for once and kept across a reload;
// - systempage.js: the system page's charts, memory, missing figures, recording disk and
//   disk speed test (a short one, on a small tmpfs when we are root: the page must warn
//   that less than 1 GiB is free).
#include "../sysinfo/TmpfsMount.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QtTest>

namespace {

// Runs `script` (in this folder) with node and the arguments; true when all its steps passed.
bool runScript(const QString &script, const QStringList &args)
{
    const QString folder = drtest::sourceDir() + "/tests/browser";
    if (!QFileInfo::exists(folder + "/node_modules/playwright-core/package.json"))
        qWarning() << "playwright-core is missing: run scripts/deps.sh";
    else if (!QFileInfo::exists("/usr/bin/chromium"))
        qWarning() << "chromium is missing: run scripts/deps.sh";
    else {
        drtest::ChildProcess node;
        if (!node.start("node", QStringList{folder + '/' + script} + args) ||
            !drtest::waitUntil([&] { return !node.isRunning(); }, 150000))
            return false;
        const QString output = node.output();
        qInfo().noquote() << output.right(3000);
        return output.contains("all steps passed") && node.stop() == 0;
    }
    return false;
}

} // namespace

class TestWebUi : public QObject
{
    Q_OBJECT

    // Runs webui.js against a fresh application; `token` selects the token steps.
    void runWebUi(const QByteArray &token)
    {
        // One test source, seen only by this test's application and its recorders.
        QTemporaryDir registry, store;
        QProcessEnvironment env;
        env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
        env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(drtest::freeTcpPort()));
        env.insert("DESK_RECORDER_NDI_INTERFACES", "none");
        const QString sourceTag = QString("WebRec-%1").arg(QCoreApplication::applicationPid());
        drtest::ChildProcess source;
        if (token.isEmpty()) {
            QVERIFY(source.start(drtest::buildDir() + "/ndi-testsrc",
                                 {"--name", sourceTag, "--resolution", "640x360", "--fps", "25",
                                  "--seconds", "300"},
                                 env));
        }
        drtest::AppInstance app;
        QStringList appArgs;
        if (!token.isEmpty()) {
            QFile file(app.dataDir() + "/token");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(token) == token.size());
            appArgs << "--token-file" << file.fileName();
        }
        QVERIFY(app.start(appArgs, env));
        QStringList args{app.url(""), QString::number(app.wsPort()), sourceTag, store.path()};
        if (!token.isEmpty())
            args << token;
        QVERIFY(runScript("webui.js", args));
    }

private slots:
    void drivesTheWebUi() { runWebUi({}); }
    void asksForTheTokenOnce() { runWebUi("browser-token-42"); }

    void drivesTheSystemPage()
    {
        TmpfsMount tmpfs{16};
        QTemporaryDir plain;
        const QString folder =
            tmpfs.reason.isEmpty() ? tmpfs.path : QDir(plain.path()).canonicalPath();
        const bool small = QStorageInfo(folder).bytesAvailable() < (qint64(1) << 30);
        QProcessEnvironment env;
        env.insert("DESK_RECORDER_DISK_TEST_MS", "1500");
        drtest::AppInstance app;
        QVERIFY(app.start({}, env));
        QVERIFY(runScript("systempage.js",
                          {app.url(""), QString::number(app.wsPort()), folder, small ? "1" : "0"}));
        QCOMPARE(app.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWebUi)
#include "tst_webui.moc"
