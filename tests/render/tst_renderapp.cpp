// The real application window on Xvfb with a real test source: a window given the source
// through the HTTP API shows its colour bars in order on screen, the web address the source
// reports reaches the source list, the levels of its -6 dBFS tone appear in the output
// status, a double-click enlarges the tile to the whole grid in high bandwidth and a second
// one returns it, and removing the source clears both.
#include "TestSupport.h"
#include "XvfbTestMain.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QScreen>
#include <QtTest>

class TstRenderApp : public QObject
{
    Q_OBJECT

private:
    drtest::ChildProcess m_sender;
    drtest::AppInstance m_app;
    QString m_name;
    int m_row = 0, m_centre = 0; // where the bars were last found
    QString m_levels;            // volume_1 / volume_2 of window 1 as last read

    // Index of the 75% bar the colour is, or -1.
    static int barOf(QRgb c)
    {
        static const int rgb[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                      {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
        for (int i = 0; i < 7; ++i)
            if (qAbs(qRed(c) - rgb[i][0]) <= 12 && qAbs(qGreen(c) - rgb[i][1]) <= 12 &&
                qAbs(qBlue(c) - rgb[i][2]) <= 12)
                return i;
        return -1;
    }
    // The width from the first bar's start to the last bar's end (the tile's picture width,
    // within a bar's width) on some row of the screen showing the seven bars left to right,
    // each at least 8 pixels wide; 0 when none does.
    int barsWidth()
    {
        const QImage img = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        for (int y = 0; y < img.height(); y += 3) {
            int next = 0, run = 0, last = -2, firstX = 0;
            for (int x = 0; x < img.width(); ++x) {
                const int bar = barOf(img.pixel(x, y));
                run = bar == last ? run + 1 : 1;
                last = bar;
                if (run != 8 || bar < 0)
                    continue;
                next = bar == next ? next + 1 : (bar == 0 ? 1 : 0);
                if (next == 1)
                    firstX = x - 7;
                if (next == 7) {
                    int end = x;
                    while (end + 1 < img.width() && barOf(img.pixel(end + 1, y)) == 6)
                        ++end;
                    m_row = y;
                    m_centre = (firstX + end) / 2;
                    return end - firstX;
                }
            }
        }
        return 0;
    }

    // A double-click of the left button at (x, y) of the Xvfb screen, as a user gives it.
    static bool doubleClick(int x, int y)
    {
        QProcess xdotool;
        xdotool.start("xdotool", {"mousemove", "--sync", QString::number(x), QString::number(y),
                                  "click", "--repeat", "2", "--delay", "80", "1"});
        return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
    }
    // The source list's entry whose name contains `part`.
    QJsonObject listed(const QString &part)
    {
        for (const QJsonValue &v : m_app.get("/api/source/get.json").json()["data"].toArray())
            if (v["name"].toString().contains(part))
                return v.toObject();
        return {};
    }
    // True when both levels of window 1 in the output status are within 1 dB of `db`.
    bool levelsAt(double db)
    {
        const QJsonObject data = m_app.get("/api/output/get.json").json()["data"].toObject();
        for (const QJsonValue &w : data["layout"].toArray()) {
            if (w["id"].toInt() != 1)
                continue;
            const double l1 = w["volume_1"].toDouble(), l2 = w["volume_2"].toDouble();
            m_levels = QStringLiteral("%1 / %2").arg(l1).arg(l2);
            return qAbs(l1 - db) <= 1 && qAbs(l2 - db) <= 1;
        }
        return false;
    }
    QString post(const QString &path, const QJsonObject &body)
    {
        return m_app.post(path, body).json()["result"].toString();
    }

private slots:
    void initTestCase()
    {
        const QString shortName =
            QStringLiteral("AppBars-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(m_sender.start(drtest::buildDir() + "/ndi-testsrc",
                               {"--name", shortName, "--resolution", "1280x720", "--level", "-6",
                                "--web-url", "http://127.0.0.1:8080/"},
                               drtest::isolatedRuntimeEnv())); // no announcement beyond the test
        QProcessEnvironment env = drtest::isolatedRuntimeEnv();
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1"); // the test runs as root
        env.insert("QT_QPA_PLATFORM", "xcb");
        m_app.headless = false;
        QVERIFY(m_app.start({}, env, 30000));
        QVERIFY2(
            drtest::waitUntil(
                [&] { return !(m_name = listed(shortName)["name"].toString()).isEmpty(); }, 15000),
            "the app did not find the test source");
    }
    void cleanupTestCase()
    {
        m_app.stop();
        m_sender.stop();
    }

    void tileShowsBarsReportsLevelsAndEnlarges()
    {
        QCOMPARE(post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}}),
                 QString("ok"));
        QCOMPARE(post("/api/output/setSource.json",
                      {{"type", "source"}, {"position", 1}, {"stream_id", m_name}}),
                 QString("ok"));
        int small = 0, large = 0;
        QVERIFY2(drtest::waitUntil([&] { return (small = barsWidth()) > 0; }, 20000),
                 "no row of the screen shows the colour bars in order");
        // What the source reports through the window's connection reaches the list.
        QVERIFY(drtest::waitUntil(
            [&] { return listed(m_name)["url"].toString() == "http://127.0.0.1:8080/"; }, 15000));
        // The -6 dBFS tone reaches the output status on both channels.
        QVERIFY2(drtest::waitUntil([&] { return levelsAt(-6); }, 10000), qPrintable(m_levels));

        // A double-click enlarges the tile to the grid in high bandwidth, a second returns it.
        const QString highOpened = QStringLiteral("connections \"%1\" 2\n").arg(m_name);
        const int seenBefore = int(m_sender.output().count(highOpened));
        QVERIFY2(doubleClick(m_centre, m_row), "xdotool failed");
        QVERIFY2(drtest::waitUntil([&] { return (large = barsWidth()) > small * 3 / 2; }, 10000),
                 qPrintable(QStringLiteral("bars %1 wide, then %2").arg(small).arg(large)));
        // High bandwidth opens a second receiver of the source while the low one still runs.
        QVERIFY2(drtest::waitUntil([&] { return m_sender.output().count(highOpened) > seenBefore; },
                                   10000),
                 qPrintable(m_sender.output()));
        QVERIFY2(doubleClick(m_centre, m_row), "xdotool failed");
        QVERIFY(drtest::waitUntil([&] { return qAbs(barsWidth() - small) <= small / 10; }, 10000));

        // Removing the source takes the video down and the levels back to silence.
        QCOMPARE(post("/api/output/remove.json", {{"position", 1}}), QString("ok"));
        QVERIFY(drtest::waitUntil([&] { return levelsAt(-200); }, 5000));
        QVERIFY(drtest::waitUntil([&] { return barsWidth() == 0; }, 5000));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderApp)
#include "tst_renderapp.moc"
