// The real application window on Xvfb with a real test source: a window given the source
// through the HTTP API shows its colour bars in order on screen, and the levels of its
// -6 dBFS tone appear in the output status; a double-click enlarges the tile to the whole
// grid in high bandwidth and a second one returns it.
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
    drtest::ChildProcess m_app;
    QTemporaryDir m_data;
    quint16 m_httpPort = 0;
    QString m_name;

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path);
    }

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
                                QPair<int, int> *span = nullptr)
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
                        if (span)
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
        QVERIFY(m_data.isValid());
        const QString shortName =
            QStringLiteral("AppBars-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(m_sender.start(drtest::buildDir() + "/ndi-testsrc",
                               {"--name", shortName, "--resolution", "1280x720", "--level", "-6"}));
        m_httpPort = drtest::freeTcpPort();
        quint16 wsPort;
        do {
            wsPort = drtest::freeTcpPort();
        } while (wsPort == m_httpPort);
        QProcessEnvironment env;
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1"); // the test runs as root
        env.insert("QT_QPA_PLATFORM", "xcb");
        QVERIFY(m_app.start(drtest::buildDir() + "/desk-recorder",
                            {"--data-dir", m_data.path(), "--http-port",
                             QString::number(m_httpPort), "--ws-port", QString::number(wsPort)},
                            env));
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         return !m_app.isRunning() ||
                                drtest::httpGet(url("/api/output/get.json"), 500).status == 200;
                     },
                     30000) &&
                     m_app.isRunning(),
                 qPrintable(m_app.output()));
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         const QJsonArray list =
                             drtest::httpGet(url("/api/source/get.json")).json()["data"].toArray();
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
        m_app.stop(10000);
        m_sender.stop();
    }

    void windowShowsBarsAndReportsLevels()
    {
        const drtest::HttpReply set =
            drtest::httpPostJson(url("/api/output/setSource.json"),
                                 {{"type", "source"}, {"position", 1}, {"stream_id", m_name}});
        QCOMPARE(set.json()["result"].toString(), QString("ok"));

        int row = -1;
        QScreen *screen = QGuiApplication::primaryScreen();
        const bool shown = drtest::waitUntil(
            [&] { return screenShowsBars(screen->grabWindow(0).toImage(), 20, &row); }, 20000);
        if (!shown)
            screen->grabWindow(0).save(QDir::tempPath() + "/tst_renderapp-screen.png");
        QVERIFY2(shown, "no row of the screen shows the colour bars in order");

        auto levels = [&](double *l1, double *l2) {
            const QJsonArray windows = drtest::httpGet(url("/api/output/get.json"))
                                           .json()["data"]
                                           .toObject()["layout"]
                                           .toArray();
            for (const QJsonValue &w : windows) {
                if (w["id"].toInt() == 1) {
                    *l1 = w["volume_1"].toDouble();
                    *l2 = w["volume_2"].toDouble();
                }
            }
        };
        double l1 = -200;
        double l2 = -200;
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         levels(&l1, &l2);
                         return qAbs(l1 + 6) <= 1 && qAbs(l2 + 6) <= 1;
                     },
                     10000),
                 qPrintable(QStringLiteral("volume_1 %1, volume_2 %2").arg(l1).arg(l2)));

        // Removing the source takes the video down and the levels back to silence.
        QCOMPARE(drtest::httpPostJson(url("/api/output/remove.json"), {{"position", 1}})
                     .json()["result"]
                     .toString(),
                 QString("ok"));
        QVERIFY(drtest::waitUntil(
            [&] {
                levels(&l1, &l2);
                return l1 <= -199;
            },
            5000));
        QVERIFY(drtest::waitUntil(
            [&] { return !screenShowsBars(screen->grabWindow(0).toImage(), 20, &row); }, 5000));
    }

    void doubleClickEnlargesTile()
    {
        QCOMPARE(drtest::httpPostJson(url("/api/output/setLayout.json"),
                                      {{"layout_id", 2}, {"layout_number", 4}})
                     .json()["result"]
                     .toString(),
                 QString("ok"));
        const drtest::HttpReply set =
            drtest::httpPostJson(url("/api/output/setSource.json"),
                                 {{"type", "source"}, {"position", 1}, {"stream_id", m_name}});
        QCOMPARE(set.json()["result"].toString(), QString("ok"));
        QScreen *screen = QGuiApplication::primaryScreen();
        int row = -1;
        QPair<int, int> small, large;
        QVERIFY(drtest::waitUntil(
            [&] { return screenShowsBars(screen->grabWindow(0).toImage(), 8, &row, &small); },
            20000));
        const int smallWidth = small.second - small.first;
        const int seenBefore = senderConnectionsSeen(2);

        QVERIFY2(doubleClick((small.first + small.second) / 2, row), "xdotool failed");
        const bool enlarged = drtest::waitUntil(
            [&] {
                return screenShowsBars(screen->grabWindow(0).toImage(), 8, &row, &large) &&
                       large.second - large.first > smallWidth * 3 / 2;
            },
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
                return screenShowsBars(screen->grabWindow(0).toImage(), 8, &row, &back) &&
                       qAbs((back.second - back.first) - smallWidth) <= smallWidth / 10;
            },
            10000));
        QCOMPARE(drtest::httpPostJson(url("/api/output/remove.json"), {{"position", 1}})
                     .json()["result"]
                     .toString(),
                 QString("ok"));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderApp)
#include "tst_renderapp.moc"
