// The web UI in Chromium against a headless desk-recorder: live connection, layout,
// window names, sources, audio, swap, removal, discovery targets, project, clock server
// and language; with an access token, the token asked for once and kept across a reload
// (steps in webui.js, driven by playwright-core).
#include "TestSupport.h"

#include <QFileInfo>
#include <QtTest>

class TestWebUi : public QObject
{
    Q_OBJECT

    // Runs webui.js against a fresh application; `token` selects the token steps.
    void run(const QByteArray &token)
    {
        const QString folder = drtest::sourceDir() + "/tests/browser";
        QVERIFY2(QFileInfo::exists(folder + "/node_modules/playwright-core/package.json"),
                 "playwright-core is missing: run scripts/deps.sh");
        QVERIFY2(QFileInfo::exists("/usr/bin/chromium"),
                 "chromium is missing: run scripts/deps.sh");

        drtest::AppInstance app;
        QStringList appArgs;
        if (!token.isEmpty()) {
            QFile file(app.dataDir() + "/token");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(token) == token.size());
            appArgs << "--token-file" << file.fileName();
        }
        QVERIFY(app.start(appArgs));
        QStringList nodeArgs{folder + "/webui.js", app.url(""), QString::number(app.wsPort())};
        if (!token.isEmpty())
            nodeArgs << token;
        drtest::ChildProcess node;
        QVERIFY(node.start("node", nodeArgs));
        QVERIFY(drtest::waitUntil([&] { return !node.isRunning(); }, 150000));
        const QString output = node.output();
        qInfo().noquote() << output;
        QVERIFY2(output.contains("webui: all steps passed"), qPrintable(output.right(3000)));
        QCOMPARE(node.stop(), 0);
    }

private slots:
    void drivesTheWebUi() { run({}); }
    void asksForTheTokenOnce() { run("browser-token-42"); }
};

QTEST_GUILESS_MAIN(TestWebUi)
#include "tst_webui.moc"
