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
    static QString describe(QRgb c)
    {
        return QStringLiteral("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
    }
    // True when the seven bars show in order inside `area` (window pixels).
    bool barsShown(const QImage &img, const QRectF &area, QString *why = nullptr)
    {
        for (int i = 0; i < 7; ++i) {
            const QPoint p(qRound(area.x() + (i + 0.5) * area.width() / 7),
                           qRound(area.y() + area.height() / 2));
            const QRgb c = img.pixel(p);
            if (!near(c, kBarsRgb[i][0], kBarsRgb[i][1], kBarsRgb[i][2])) {
                if (why)
                    *why = QStringLiteral("bar %1 at (%2,%3) is %4")
                               .arg(i)
                               .arg(p.x())
                               .arg(p.y())
                               .arg(describe(c));
                return false;
            }
        }
        return true;
    }
    bool waitForBars(const QRectF &area)
    {
        QString why;
        const bool ok = drtest::waitUntil([&] { return barsShown(grab(), area, &why); }, 5000);
        if (!ok)
            qWarning().noquote() << why;
        return ok;
    }

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

    void barsInOrderWithQmlItemOnTop()
    {
        m_table->add("A");
        VideoRender *wide = item("wide");
        QSignalSpy loading(wide, &VideoRender::notifyLoading);
        wide->changeSource("A", "");
        QVERIFY(waitForBars(QRectF(20, 20, 448, 252)));
        const QImage img = grab();
        // The item stacked above the video stays visible.
        QVERIFY2(near(img.pixel(50, 50), 0x00, 0xff, 0x80, 2),
                 qPrintable(describe(img.pixel(50, 50))));
        // Outside the item the scene's background is untouched.
        QVERIFY(near(img.pixel(10, 100), 0x20, 0x30, 0x40, 2));
        QVERIFY(near(img.pixel(475, 100), 0x20, 0x30, 0x40, 2));
        QVERIFY(near(img.pixel(240, 280), 0x20, 0x30, 0x40, 2));
        // The top line of the frame is at the top: the picture is not upside down.
        QVERIFY(near(img.pixel(25, 21), kBarsRgb[0][0], kBarsRgb[0][1], kBarsRgb[0][2]));
    }

    void hdSourceInSquareIsLetterboxed()
    {
        FakeVideoConnection::Options hd;
        hd.lowSize = QSize(1920, 1080);
        m_table->add("HD", hd);
        VideoRender *square = item("square");
        QSignalSpy resolution(square, &VideoRender::resolutionChanged);
        square->changeSource("HD", "");
        // 400 x 400 at (500, 20): picture 400 x 225 from y = 20 + 87.5.
        QVERIFY(waitForBars(QRectF(500, 107.5, 400, 225)));
        QCOMPARE(resolution.first(), (QList<QVariant>{1920, 1080}));
        const QImage img = grab();
        for (int y : {25, 100, 340, 415})
            QVERIFY2(
                near(img.pixel(700, y), 0x20, 0x30, 0x40, 2),
                qPrintable(QStringLiteral("y %1: %2").arg(y).arg(describe(img.pixel(700, y)))));
        for (int y : {110, 220, 330})
            QVERIFY2(
                !near(img.pixel(520, y), 0x20, 0x30, 0x40, 2),
                qPrintable(QStringLiteral("y %1: %2").arg(y).arg(describe(img.pixel(520, y)))));
    }

    void itemWithoutFrameIsBlack()
    {
        VideoRender *blank = item("blank");
        QSignalSpy loading(blank, &VideoRender::notifyLoading);
        blank->changeSource("ghost", "");
        QCOMPARE(loading.first().at(0).toString(), QString("failed"));
        QVERIFY(drtest::waitUntil([&] { return near(grab().pixel(120, 350), 0, 0, 0, 1); }, 3000));
        QVERIFY(near(grab().pixel(219, 399), 0, 0, 0, 1));
        QVERIFY(near(grab().pixel(225, 350), 0x20, 0x30, 0x40, 2));
    }

    void switchShowsOldPictureUntilNewFrame()
    {
        m_table->add("A");
        FakeVideoConnection::Options red;
        red.bars = false;
        auto b = m_table->add("B", red);
        b->delivering = false;
        VideoRender *wide = item("wide");
        wide->changeSource("A", "");
        const QRectF area(20, 20, 448, 252);
        QVERIFY(waitForBars(area));
        wide->changeSource("B", "");
        for (int i = 0; i < 5; ++i) {
            QTest::qWait(100);
            QString why;
            QVERIFY2(barsShown(grab(), area, &why), qPrintable(why));
        }
        b->delivering = true;
        QVERIFY(drtest::waitUntil(
            [&] {
                const QImage img = grab();
                return near(img.pixel(100, 200), 191, 0, 0) && near(img.pixel(400, 200), 191, 0, 0);
            },
            3000));
    }

    void absurdSizesDrawNothingAndBreakNothing()
    {
        m_table->add("A");
        for (const char *name : {"zero", "huge", "square"})
            item(name)->changeSource("A", "high");
        // 16:9 in 400 x 400 at (500, 20): picture from y = 20 + 87.5.
        const QRectF picture(500, 107.5, 400, 225);
        QVERIFY(waitForBars(picture));
        QVERIFY(near(grab().pixel(250, 350), 0x20, 0x30, 0x40, 2));
        // Resizing to nonsense at run time draws nothing, and sense brings the picture back.
        item("zero")->setWidth(-50);
        item("square")->setHeight(-10);
        QVERIFY(drtest::waitUntil([&] { return near(grab().pixel(700, 200), 0x20, 0x30, 0x40, 2); },
                                  3000));
        QVERIFY(near(grab().pixel(250, 350), 0x20, 0x30, 0x40, 2));
        item("square")->setHeight(400);
        QVERIFY(waitForBars(picture));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderScene)
#include "tst_renderscene.moc"
