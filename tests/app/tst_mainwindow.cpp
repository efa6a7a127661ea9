// The real desk-recorder with its window on a private X server: the window grid follows
// the layout chosen over HTTP, the embedded web view shows the web UI, and ending the
// process by SIGTERM closes the window cleanly.
//
// Screens are grabbed by this same executable started with "--grab <file>" on the test's
// X server, so the test itself needs no display.
#include "TestSupport.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QtTest>

#include <unistd.h>

namespace {

// Colours the main window and the web UI paint (QML tile body, web UI top bar).
const QColor kTileColour(0x1b, 0x23, 0x30);
const QColor kWebTopBarColour(0x16, 0x32, 0x4f);
constexpr int kMinRunPx = 20;

bool near(QRgb pixel, const QColor &colour)
{
    return qAbs(qRed(pixel) - colour.red()) <= 2 && qAbs(qGreen(pixel) - colour.green()) <= 2 &&
           qAbs(qBlue(pixel) - colour.blue()) <= 2;
}

struct GridShape
{
    QRect area;        // bounding box of every tile pixel
    int columns = 0;   // tiles crossed by a line through the first row
    int rows = 0;      // tiles crossed by a line through the first column
    int webPixels = 0; // web UI top-bar pixels right of the grid
};

// Counts runs of at least kMinRunPx tile-coloured pixels along a line.
int countRuns(const QImage &image, QPoint from, QPoint step, int length)
{
    int runs = 0, current = 0;
    QPoint p = from;
    for (int i = 0; i < length; ++i, p += step) {
        if (image.valid(p) && near(image.pixel(p), kTileColour)) {
            ++current;
        } else {
            runs += current >= kMinRunPx ? 1 : 0;
            current = 0;
        }
    }
    return runs + (current >= kMinRunPx ? 1 : 0);
}

GridShape analyse(const QImage &image)
{
    GridShape shape;
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); y += 2) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 2) {
            if (near(line[x], kTileColour)) {
                left = qMin(left, x);
                right = qMax(right, x);
                top = qMin(top, y);
                bottom = qMax(bottom, y);
            }
        }
    }
    if (right < 0)
        return shape;
    shape.area = QRect(QPoint(left, top), QPoint(right, bottom));
    // Probe lines away from the tiles' texts: 30 % down the first row, 10 % into the
    // first column. The number of tiles the other line crosses gives the count.
    const int rowsGuess =
        countRuns(image, QPoint(left + 3, top), QPoint(0, 1), shape.area.height());
    const int colsGuess =
        countRuns(image, QPoint(left, top + 40), QPoint(1, 0), shape.area.width());
    if (rowsGuess > 0 && colsGuess > 0) {
        const int rowHeight = shape.area.height() / rowsGuess;
        const int colWidth = shape.area.width() / colsGuess;
        shape.columns = countRuns(image, QPoint(left, top + rowHeight * 3 / 10), QPoint(1, 0),
                                  shape.area.width() + 4);
        shape.rows = countRuns(image, QPoint(left + colWidth / 10, top), QPoint(0, 1),
                               shape.area.height() + 4);
    }
    for (int y = 0; y < image.height(); y += 2) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = right + 8; x < image.width(); x += 2)
            shape.webPixels += near(line[x], kWebTopBarColour) ? 1 : 0;
    }
    return shape;
}

int grabMain(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1;
    const QImage image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    return !image.isNull() && image.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_runtime.isValid() && m_data.isValid());
        QVERIFY2(m_xvfb.start("1920x1080x24"), "Xvfb did not start");
        m_env.insert("DISPLAY", m_xvfb.display());
        m_env.insert("QT_QPA_PLATFORM", "xcb");
        m_env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        // The web engine refuses to run as root inside its sandbox.
        if (::geteuid() == 0)
            m_env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");

        m_httpPort = drtest::freeTcpPort();
        do {
            m_wsPort = drtest::freeTcpPort();
        } while (m_wsPort == m_httpPort);
        QVERIFY(m_app.start(drtest::buildDir() + "/desk-recorder",
                            {"--data-dir", m_data.path(), "--http-port",
                             QString::number(m_httpPort), "--ws-port", QString::number(m_wsPort)},
                            m_env));
        const bool up = drtest::waitUntil(
            [&] {
                return !m_app.isRunning() ||
                       drtest::httpGet(url("/api/output/get.json"), 500).status == 200;
            },
            30000);
        QVERIFY2(up && m_app.isRunning(), qPrintable(m_app.output()));
    }

    void cleanupTestCase() { m_app.stop(); }

    void gridFollowsLayout()
    {
        GridShape shape;
        QVERIFY2(waitForShape(1, 1, &shape), qPrintable(describe(shape)));

        const QJsonObject reply = drtest::httpPostJson(url("/api/output/setLayout.json"),
                                                       {{"layout_id", 3}, {"layout_number", 9}})
                                      .json();
        QCOMPARE(reply.value("result").toString(), QString("ok"));
        QVERIFY2(waitForShape(3, 3, &shape), qPrintable(describe(shape)));
        // The grid leaves the right part of the window to the web view.
        QVERIFY2(shape.area.width() > 800 && shape.area.height() > 500,
                 qPrintable(describe(shape)));

        drtest::httpPostJson(url("/api/output/setLayout.json"),
                             {{"layout_id", 5}, {"layout_number", 20}});
        QVERIFY2(waitForShape(5, 4, &shape), qPrintable(describe(shape)));
    }

    void webViewShowsPage()
    {
        GridShape shape;
        const bool shown = drtest::waitUntil(
            [&] {
                shape = analyse(grab());
                // The top bar of the page spans the web view's width (over 400 px) and is
                // about 48 px tall; sampled every second pixel in both directions, and
                // partly covered by the title, badge and language choice.
                return shape.webPixels > 2000;
            },
            40000);
        QVERIFY2(shown, qPrintable(describe(shape)));
    }

    // The language chosen over HTTP reaches the window's translator.
    void languageChangeReachesWindow()
    {
        const QJsonObject reply =
            drtest::httpPostJson(url("/api/lang/modify.json"), {{"lang", "en"}}).json();
        QCOMPARE(reply.value("result").toString(), QString("ok"));
        QVERIFY(drtest::waitUntil([&] { return logs().contains("--------- load language : en "); },
                                  10000));
    }

    void terminationClosesCleanly()
    {
        QCOMPARE(m_app.stop(15000), 0);
        // The log tells that the window side shut down through the normal path.
        const QByteArray log = logs();
        QVERIFY2(log.contains("desk-recorder shutting down"), log.right(2000).constData());
    }

private:
    QByteArray logs() const
    {
        QDir dir(m_data.path());
        QByteArray log;
        for (const QString &name : dir.entryList({"log_*.log"}, QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                log += file.readAll();
        }
        return log;
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path);
    }

    QImage grab()
    {
        const QString file = m_runtime.filePath("screen.png");
        QFile::remove(file);
        drtest::ChildProcess grabber;
        if (!grabber.start(QCoreApplication::applicationFilePath(), {"--grab", file}, m_env))
            return {};
        drtest::waitUntil([&] { return !grabber.isRunning(); }, 20000);
        grabber.stop();
        return QImage(file).convertToFormat(QImage::Format_RGB32);
    }

    bool waitForShape(int columns, int rows, GridShape *shape)
    {
        return drtest::waitUntil(
            [&] {
                *shape = analyse(grab());
                return shape->columns == columns && shape->rows == rows;
            },
            30000);
    }

    static QString describe(const GridShape &shape)
    {
        return QStringLiteral("grid %1x%2 in (%3,%4 %5x%6), web top-bar pixels %7")
            .arg(shape.columns)
            .arg(shape.rows)
            .arg(shape.area.x())
            .arg(shape.area.y())
            .arg(shape.area.width())
            .arg(shape.area.height())
            .arg(shape.webPixels);
    }

    QTemporaryDir m_runtime;
    QTemporaryDir m_data;
    drtest::XvfbServer m_xvfb;
    drtest::ChildProcess m_app;
    QProcessEnvironment m_env;
    quint16 m_httpPort = 0;
    quint16 m_wsPort = 0;
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--grab") == 0)
        return grabMain(argc, argv);
    QCoreApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
