// The real desk-recorder with its window on a private X server: the window grid follows
// the layout chosen over HTTP, the embedded web view shows the web UI, the language reaches
// the window, and SIGTERM closes the window cleanly.
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

bool near(const QImage &image, QPoint p, const QColor &colour)
{
    const QRgb pixel = image.valid(p) ? image.pixel(p) : 0;
    return qAbs(qRed(pixel) - colour.red()) <= 2 && qAbs(qGreen(pixel) - colour.green()) <= 2 &&
           qAbs(qBlue(pixel) - colour.blue()) <= 2;
}

// Runs of at least 20 tile-coloured pixels along a line: the tiles it crosses.
int countTiles(const QImage &image, QPoint p, QPoint step, int length)
{
    int runs = 0, current = 0;
    for (int i = 0; i <= length; ++i, p += step) {
        const bool tile = near(image, p, kTileColour);
        runs += !tile && current >= 20 ? 1 : 0;
        current = tile ? current + 1 : 0;
    }
    return runs;
}

struct GridShape
{
    QRect area;        // bounding box of every tile pixel
    int columns = 0;   // tiles crossed below the title bars of the first row
    int rows = 0;      // tiles crossed between the border and the texts of the first column
    int webPixels = 0; // web UI top-bar pixels right of the grid
    QByteArray text() const
    {
        const QString grid = QStringLiteral(" %1x%2, web %3").arg(columns).arg(rows).arg(webPixels);
        return (QDebug::toString(area) + grid).toUtf8();
    }
};

GridShape analyse(const QImage &image)
{
    GridShape shape;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (near(image, {x, y}, kTileColour))
                shape.area |= QRect(x, y, 1, 1);
    if (shape.area.isEmpty())
        return shape;
    const QRect &a = shape.area;
    shape.columns = countTiles(image, {a.left(), a.top() + 40}, {1, 0}, a.width() + 2);
    shape.rows = countTiles(image, {a.left() + 5, a.top()}, {0, 1}, a.height() + 2);
    for (int y = 0; y < image.height(); y += 2)
        for (int x = a.right() + 8; x < image.width(); x += 2)
            shape.webPixels += near(image, {x, y}, kWebTopBarColour) ? 1 : 0;
    return shape;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_xvfb.start("1920x1080x24"), "Xvfb did not start");
        m_env.insert("DISPLAY", m_xvfb.display());
        m_env.insert("QT_QPA_PLATFORM", "xcb");
        m_env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        if (::geteuid() == 0) // the web engine's sandbox refuses to run as root
            m_env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        m_app.headless = false;
        QVERIFY(m_app.start({}, m_env, 30000));
    }

    // The grid follows the layout and leaves the right part of the window to the web view,
    // whose page top bar spans it (over 400 px wide, about 48 px tall, partly covered by texts;
    // sampled every second pixel in both directions).
    void gridFollowsLayoutBesideWebUi()
    {
        GridShape shape;
        QVERIFY2(waitForShape(1, 1, &shape, 2000), shape.text());
        QVERIFY(m_app.post("/api/output/setLayout.json", {{"layout_id", 3}, {"layout_number", 9}})
                    .json()["result"] == "ok");
        QVERIFY2(waitForShape(3, 3, &shape), shape.text());
        QVERIFY2(shape.area.width() > 800 && shape.area.height() > 500, shape.text());
        QVERIFY(m_app.post("/api/output/setLayout.json", {{"layout_id", 5}, {"layout_number", 20}})
                    .json()["result"] == "ok");
        QVERIFY2(waitForShape(5, 4, &shape), shape.text());
    }

    void languageChangeReachesWindow()
    {
        QVERIFY(m_app.post("/api/lang/modify.json", {{"lang", "en"}}).json()["result"] == "ok");
        QVERIFY(drtest::waitUntil([&] { return logs().contains("--------- load language : en "); },
                                  10000));
    }

    void terminationClosesCleanly()
    {
        QCOMPARE(m_app.stop(), 0);
        QVERIFY2(logs().contains("desk-recorder shutting down"), logs().right(2000).constData());
    }

private:
    QByteArray logs() { return drtest::readLogs(m_app.dataDir()); }

    QImage grab()
    {
        const QString file = m_runtime.filePath("screen.png");
        QFile::remove(file);
        drtest::ChildProcess grabber;
        if (grabber.start(QCoreApplication::applicationFilePath(), {"--grab", file}, m_env))
            drtest::waitUntil([&] { return !grabber.isRunning(); }, 20000);
        return QImage(file).convertToFormat(QImage::Format_RGB32);
    }

    // Waits for a grid of columns x rows (and more than `webPixels` of the web UI).
    bool waitForShape(int columns, int rows, GridShape *shape, int webPixels = -1)
    {
        return drtest::waitUntil(
            [&] {
                *shape = analyse(grab());
                return shape->columns == columns && shape->rows == rows &&
                       shape->webPixels > webPixels;
            },
            40000);
    }

    QTemporaryDir m_runtime;
    drtest::XvfbServer m_xvfb;
    drtest::AppInstance m_app;
    QProcessEnvironment m_env;
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--grab") == 0) {
        QGuiApplication app(argc, argv);
        QScreen *screen = QGuiApplication::primaryScreen();
        return screen && screen->grabWindow(0).save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
