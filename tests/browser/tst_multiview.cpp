// The web UI's live multiview in Chromium against the headless application with a real
// test source (steps in multiview.js; this side switches the source's black picture when
// the script asks).
#include "../media/NdiSourceProcess.h"

#include <QFileInfo>
#include <QtTest>

class TestMultiview : public QObject
{
    Q_OBJECT

private slots:
    void previewsLevelsAlarmsAndPicking()
    {
        const QString folder = drtest::sourceDir() + "/tests/browser";
        QVERIFY2(QFileInfo::exists(folder + "/node_modules/playwright-core/package.json"),
                 "playwright-core is missing: run scripts/deps.sh");
        mediatest::NdiSourceProcess source;
        QVERIFY(source.start("multiview"));
        drtest::AppInstance app;
        QVERIFY(app.start({}, mediatest::isolatedRuntimeEnv()));
        app.post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}});
        app.post("/api/output/setSource.json",
                 {{"type", "source"}, {"position", 1}, {"stream_id", source.fullName()}});

        drtest::ChildProcess node;
        QVERIFY(node.start("node", {folder + "/multiview.js", app.url(""),
                                    QString::number(app.wsPort()), source.fullName()}));
        bool black = false, lit = false;
        QVERIFY(drtest::waitUntil(
            [&] {
                if (!black && node.output().contains("black please"))
                    black = source.process().write("black on\n") > 0;
                if (!lit && node.output().contains("lit please"))
                    lit = source.process().write("black off\n") > 0;
                return !node.isRunning();
            },
            120000));
        const QString output = node.output();
        QVERIFY2(output.contains("multiview: all steps passed"), qPrintable(output.right(3000)));
        QCOMPARE(node.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMultiview)
#include "tst_multiview.moc"
