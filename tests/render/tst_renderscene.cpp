// Pictures drawn by render items in a Qt Quick scene on Xvfb (Mesa's software OpenGL), fed
// by in-memory receivers through the real source table: bar colours and order, letterbox,
// the black rectangle without a frame, a QML item over the video, a switch that keeps the
// old picture, and items of sizes QML should never give.
#include "FakeSourceTable.h"
#include "TestSupport.h"
#include "XvfbTestMain.h"
#include "render/VideoRender.h"

#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QtTest>

class TstRenderScene : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeSourceTable> m_table;
    std::unique_ptr<QQuickView> m_view;

    VideoRender *item(const char *name)
    {
        return m_view->rootObject()->findChild<VideoRender *>(QLatin1String(name));
    }
    QImage grab() { return m_view->grabWindow(); }
    static bool near(QRgb c, int r, int g, int b, int tolerance = 8)
    {
        return qAbs(qRed(c) - r) <= tolerance && qAbs(qGreen(c) - g) <= tolerance &&
               qAbs(qBlue(c) - b) <= tolerance;
    }
    // True when the seven bars show in order inside `area` (window pixels).
    static bool barsShown(const QImage &img, const QRectF &area)
    {
        for (int i = 0; i < 7; ++i) {
            const QRgb c = img.pixel(qRound(area.x() + (i + 0.5) * area.width() / 7),
                                     qRound(area.y() + area.height() / 2));
            if (!near(c, kBarsRgb[i][0], kBarsRgb[i][1], kBarsRgb[i][2]))
                return false;
        }
        return true;
    }
    bool waitForBars(const QRectF &area)
    {
        return drtest::waitUntil([&] { return barsShown(grab(), area); }, 5000);
    }
    bool isBackground(QPoint p) { return near(grab().pixel(p), 0x20, 0x30, 0x40, 2); }

private slots:
    void initTestCase() { qmlRegisterType<VideoRender>("SceneGraphRendering", 1, 0, "Renderer"); }
    void init()
    {
        m_table = std::make_unique<FakeSourceTable>();
        m_view = std::make_unique<QQuickView>();
        m_view->setSource(
            QUrl::fromLocalFile(drtest::sourceDir() + "/tests/render/RenderScene.qml"));
        QVERIFY2(m_view->status() == QQuickView::Ready, "scene did not load");
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }
    void cleanup()
    {
        m_view.reset();
        m_table.reset();
    }

    void barsInOrderWithQmlItemOnTopItemWithoutFrameIsBlack()
    {
        m_table->add("A");
        item("wide")->changeSource("A", "");
        item("blank")->changeSource("ghost", ""); // reports "failed": see the item's own test
        QVERIFY(waitForBars(QRectF(20, 20, 448, 252)));
        const QImage img = grab();
        // The item stacked above the video stays visible.
        QVERIFY(near(img.pixel(50, 50), 0x00, 0xff, 0x80, 2));
        // Outside the item the scene's background is untouched.
        for (QPoint p : {QPoint(10, 100), QPoint(475, 100), QPoint(240, 280)})
            QVERIFY(isBackground(p));
        // The top line of the frame is at the top: the picture is not upside down.
        QVERIFY(near(img.pixel(25, 21), kBarsRgb[0][0], kBarsRgb[0][1], kBarsRgb[0][2]));
        QVERIFY(drtest::waitUntil([&] { return near(grab().pixel(120, 350), 0, 0, 0, 1); }, 3000));
        QVERIFY(near(grab().pixel(219, 399), 0, 0, 0, 1));
        QVERIFY(isBackground({225, 350}));
    }

    void switchShowsOldPictureUntilNewFrame()
    {
        m_table->add("A");
        FakeReceiverConnection::Options red;
        red.bars = false;
        auto b = m_table->add("B", red);
        b->setDelivering(false);
        VideoRender *wide = item("wide");
        wide->changeSource("A", "");
        const QRectF area(20, 20, 448, 252);
        QVERIFY(waitForBars(area));
        wide->changeSource("B", "");
        for (int i = 0; i < 5; ++i) {
            QTest::qWait(100);
            QVERIFY(barsShown(grab(), area));
        }
        b->setDelivering(true);
        QVERIFY(drtest::waitUntil(
            [&] {
                const QImage img = grab();
                return near(img.pixel(100, 200), 191, 0, 0) && near(img.pixel(400, 200), 191, 0, 0);
            },
            3000));
    }

    void hdInSquareIsLetterboxedAbsurdSizesDrawNothing()
    {
        FakeReceiverConnection::Options hd;
        hd.highSize = QSize(1920, 1080);
        m_table->add("HD", hd);
        for (const char *name : {"zero", "huge", "square"})
            item(name)->changeSource("HD", "high");
        // 400 x 400 at (500, 20): picture 400 x 225 from y = 20 + 87.5.
        const QRectF picture(500, 107.5, 400, 225);
        QVERIFY(waitForBars(picture));
        for (int y : {25, 100, 340, 415})
            QVERIFY2(isBackground({700, y}), qPrintable(QString::number(y)));
        for (int y : {110, 220, 330})
            QVERIFY2(!isBackground({520, y}), qPrintable(QString::number(y)));
        QVERIFY(isBackground({250, 350}));
        // Resizing to nonsense at run time draws nothing, and sense brings the picture back.
        item("zero")->setWidth(-50);
        item("square")->setHeight(-10);
        QVERIFY(drtest::waitUntil([&] { return isBackground({700, 200}); }, 3000));
        QVERIFY(isBackground({250, 350}));
        item("square")->setHeight(400);
        QVERIFY(waitForBars(picture));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderScene)
#include "tst_renderscene.moc"
