// The web UI in Chromium against a headless desk-recorder: live connection, layout,
// window names, sources, audio, swap, removal, discovery targets, project, clock server,
// language, and a short recording of a test source (steps in webui.js, driven by
// playwright-core).
#include "TestSupport.h"

#include <QFileInfo>
#include <QtTest>

class TestWebUi : public QObject
{
    Q_OBJECT

private slots:
    void drivesTheWebUi()
    {
        const QString folder = drtest::sourceDir() + "/tests/browser";
        QVERIFY2(QFileInfo::exists(folder + "/node_modules/playwright-core/package.json"),
                 "playwright-core is missing: run scripts/deps.sh");
        QVERIFY2(QFileInfo::exists("/usr/bin/chromium"),
                 "chromium is missing: run scripts/deps.sh");

        // One test source, seen only by this test's application and its recorders.
        QTemporaryDir registry, store;
        QProcessEnvironment env;
        env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
        env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(drtest::freeTcpPort()));
        env.insert("DESK_RECORDER_NDI_INTERFACES", "none");
        const QString sourceTag = QString("WebRec-%1").arg(QCoreApplication::applicationPid());
        drtest::ChildProcess source;
        QVERIFY(source.start(drtest::buildDir() + "/ndi-testsrc",
                             {"--name", sourceTag, "--resolution", "640x360", "--fps", "25",
                              "--seconds", "300"},
                             env));
        drtest::AppInstance app;
        QVERIFY(app.start({}, env));
        drtest::ChildProcess node;
        QVERIFY(node.start("node", {folder + "/webui.js", app.url(""), QString::number(app.wsPort()),
                                    sourceTag, store.path()}));
        QVERIFY(drtest::waitUntil([&] { return !node.isRunning(); }, 150000));
        const QString output = node.output();
        qInfo().noquote() << output;
        QVERIFY2(output.contains("webui: all steps passed"), qPrintable(output.right(3000)));
        QCOMPARE(node.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWebUi)
#include "tst_webui.moc"
