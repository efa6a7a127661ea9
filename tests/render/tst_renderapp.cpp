// The real application window on Xvfb with a real test source: a window given the source
// through the HTTP API shows its colour bars in order on screen, the levels of its -6 dBFS
// tone appear in the output status, a double-click enlarges the tile to the whole grid in
// high bandwidth and a second one returns it, and removing the source clears both.
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
    // True when some row of the screen shows the seven bars left to right, each at least
    // `minWidth` pixels wide; `span` gets the x range from the first bar's start to the
    // last bar's run (the tile's picture width, within a bar's width).
    static bool screenShowsBars(const QImage &img, int minWidth, int *rowFound,
                                QPair<int, int> *span)
    {
        for (int y = 0; y < img.height(); y += 3) {
            int expected = 0;
            int run = 0;
            int current = -2;
            int firstX = 0;
            for (int x = 0; x < img.width(); ++x) {
                const int bar = barOf(img.pixel(x, y));
                if (bar == current) {
                    ++run;
                } else {
                    current = bar;
                    run = 1;
                }
                if (run == minWidth && current >= 0) {
                    expected = current == expected ? expected + 1 : (current == 0 ? 1 : 0);
                    if (expected == 1)
                        firstX = x - minWidth + 1;
                    if (expected == 7) {
                        int end = x;
                        while (end + 1 < img.width() && barOf(img.pixel(end + 1, y)) == 6)
                            ++end;
                        *rowFound = y;
                        *span = {firstX, end};
                        return true;
                    }
                }
            }
        }
        return false;
    }

    // A double-click of the left button at (x, y) of the Xvfb screen, as a user gives it.
    static bool doubleClick(int x, int y)
    {
        QProcess xdotool;
        xdotool.start("xdotool", {"mousemove", "--sync", QString::number(x), QString::number(y),
                                  "click", "--repeat", "2", "--delay", "80", "1"});
        return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
    }

    int senderConnectionsSeen(int count)
    {
        return int(m_sender.output().count(
            QStringLiteral("connections \"%1\" %2\n").arg(m_name).arg(count)));
    }

private slots:
    void initTestCase()
    {
        const QString shortName =
            QStringLiteral("AppBars-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(m_sender.start(drtest::buildDir() + "/ndi-testsrc",
                               {"--name", shortName, "--resolution", "1280x720", "--level", "-6"}));
        QProcessEnvironment env;
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1"); // the test runs as root
        env.insert("QT_QPA_PLATFORM", "xcb");
        m_app.headless = false;
        QVERIFY(m_app.start({}, env, 30000));
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         const QJsonArray list =
                             m_app.get("/api/source/get.json").json()["data"].toArray();
                         for (const QJsonValue &v : list)
                             if (v["name"].toString().contains(shortName))
                                 m_name = v["name"].toString();
                         return !m_name.isEmpty();
                     },
                     15000),
                 "the app did not find the test source");
    }
    void cleanupTestCase()
    {
        m_app.stop();
        m_sender.stop();
    }

    void tileShowsBarsReportsLevelsAndEnlarges()
    {
        auto post = [&](const QString &path, const QJsonObject &body) {
            return m_app.post(path, body).json()["result"].toString();
        };
        QCOMPARE(post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}}),
                 QString("ok"));
        QCOMPARE(post("/api/output/setSource.json",
                      {{"type", "source"}, {"position", 1}, {"stream_id", m_name}}),
                 QString("ok"));
        QScreen *screen = QGuiApplication::primaryScreen();
        auto shows = [&](int *row, QPair<int, int> *span) {
            return screenShowsBars(screen->grabWindow(0).toImage(), 8, row, span);
        };
        int row = -1;
        QPair<int, int> small, large;
        const bool shown = drtest::waitUntil([&] { return shows(&row, &small); }, 20000);
        if (!shown)
            screen->grabWindow(0).save(QDir::tempPath() + "/tst_renderapp-screen.png");
        QVERIFY2(shown, "no row of the screen shows the colour bars in order");

        // The -6 dBFS tone reaches the output status on both channels.
        double l1 = -200;
        double l2 = -200;
        auto levels = [&] {
            const QJsonArray windows =
                m_app.get("/api/output/get.json").json()["data"].toObject()["layout"].toArray();
            for (const QJsonValue &w : windows) {
                if (w["id"].toInt() == 1) {
                    l1 = w["volume_1"].toDouble();
                    l2 = w["volume_2"].toDouble();
                }
            }
        };
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         levels();
                         return qAbs(l1 + 6) <= 1 && qAbs(l2 + 6) <= 1;
                     },
                     10000),
                 qPrintable(QStringLiteral("volume_1 %1, volume_2 %2").arg(l1).arg(l2)));

        // A double-click enlarges the tile to the grid in high bandwidth, a second returns it.
        const int smallWidth = small.second - small.first;
        const int seenBefore = senderConnectionsSeen(2);
        QVERIFY2(doubleClick((small.first + small.second) / 2, row), "xdotool failed");
        const bool enlarged = drtest::waitUntil(
            [&] { return shows(&row, &large) && large.second - large.first > smallWidth * 3 / 2; },
            10000);
        if (!enlarged)
            screen->grabWindow(0).save(QDir::tempPath() + "/tst_renderapp-enlarged.png");
        QVERIFY2(enlarged, qPrintable(QStringLiteral("bars %1..%2 before, %3..%4 after")
                                          .arg(small.first)
                                          .arg(small.second)
                                          .arg(large.first)
                                          .arg(large.second)));
        // High bandwidth opens a second receiver of the source while the low one still runs.
        QVERIFY2(drtest::waitUntil([&] { return senderConnectionsSeen(2) > seenBefore; }, 10000),
                 qPrintable(m_sender.output()));
        QVERIFY2(doubleClick((large.first + large.second) / 2, row), "xdotool failed");
        QPair<int, int> back;
        QVERIFY(drtest::waitUntil(
            [&] {
                return shows(&row, &back) &&
                       qAbs((back.second - back.first) - smallWidth) <= smallWidth / 10;
            },
            10000));

        // Removing the source takes the video down and the levels back to silence.
        QCOMPARE(post("/api/output/remove.json", {{"position", 1}}), QString("ok"));
        QVERIFY(drtest::waitUntil(
            [&] {
                levels();
                return l1 <= -199;
            },
            5000));
        QVERIFY(drtest::waitUntil([&] { return !shows(&row, &back); }, 5000));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderApp)
#include "tst_renderapp.moc"
