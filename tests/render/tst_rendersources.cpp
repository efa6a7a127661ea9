// Render items showing real test sources (ndi-testsrc through our NDI runtime), found by the
// real discovery loop, on Xvfb: the bars of a 1920 x 1080 source letterboxed in a square,
// "play" with its resolution, the tile's double-click that switches to high bandwidth and
// back, and the tile's levels of a -6 dBFS tone.
#include "TestSupport.h"
#include "XvfbTestMain.h"
#include "discovery/SourceManager.h"
#include "render/VideoRender.h"

#include <QJsonArray>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QtTest>

// Stands in for the control service: keeps the levels the tile hands over.
class LevelSink : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void setVolume(int position, int channel, int vol)
    {
        if (position == 1 && channel >= 0 && channel < 2)
            levels[channel] = vol;
    }
    int levels[2] = {-200, -200};
};

class TstRenderSources : public QObject
{
    Q_OBJECT

private:
    drtest::ChildProcess m_sender;
    QString m_name; // full NDI name of our source
    LevelSink m_levels;

    static bool near(QRgb c, int r, int g, int b, int tolerance = 10)
    {
        return qAbs(qRed(c) - r) <= tolerance && qAbs(qGreen(c) - g) <= tolerance &&
               qAbs(qBlue(c) - b) <= tolerance;
    }
    // 75% bars, left to right: white, yellow, cyan, green, magenta, red, blue.
    static bool barsShown(const QImage &img, const QRectF &area, QString *why)
    {
        static const int rgb[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                      {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
        for (int i = 0; i < 7; ++i) {
            const QPoint p(qRound(area.x() + (i + 0.5) * area.width() / 7),
                           qRound(area.y() + area.height() / 2));
            const QRgb c = img.pixel(p);
            if (!near(c, rgb[i][0], rgb[i][1], rgb[i][2])) {
                *why = QStringLiteral("bar %1 at (%2,%3) is (%4,%5,%6)")
                           .arg(i)
                           .arg(p.x())
                           .arg(p.y())
                           .arg(qRed(c))
                           .arg(qGreen(c))
                           .arg(qBlue(c));
                return false;
            }
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        qmlRegisterType<VideoRender>("SceneGraphRendering", 1, 0, "Renderer");
        const QString shortName =
            QStringLiteral("RenderBars-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(m_sender.start(drtest::buildDir() + "/ndi-testsrc",
                               {"--name", shortName, "--resolution", "1920x1080", "--fps",
                                "30000/1001", "--level", "-6"}));
        SourceManager *sources = SourceManager::instance();
        sources->startDiscover();
        const bool found = drtest::waitUntil(
            [&] {
                const QJsonArray list = sources->getSourcesJson().value("data").toArray();
                for (const QJsonValue &v : list) {
                    const QString name = v.toObject().value("name").toString();
                    if (name.contains("(" + shortName + ")") || name == shortName)
                        m_name = name;
                }
                return !m_name.isEmpty();
            },
            15000);
        QVERIFY2(found, qPrintable(m_sender.output()));
    }
    void cleanupTestCase()
    {
        SourceManager::instance()->stopDiscover();
        m_sender.stop();
    }

    void barsOfHdSourceLetterboxedInSquare()
    {
        QQuickView view;
        view.setSource(QUrl::fromLocalFile(drtest::sourceDir() + "/tests/render/RenderScene.qml"));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *square = view.rootObject()->findChild<VideoRender *>("square");
        QSignalSpy loading(square, &VideoRender::notifyLoading);
        QSignalSpy resolution(square, &VideoRender::resolutionChanged);
        square->changeSource(m_name, "high");
        QVERIFY(drtest::waitUntil(
            [&] {
                for (const auto &args : loading)
                    if (args.at(0).toString() == "play")
                        return true;
                return false;
            },
            10000));
        QVERIFY(drtest::waitUntil([&] { return square->xres() == 1920; }, 5000));
        QVERIFY(resolution.contains(QList<QVariant>{1920, 1080}));
        QCOMPARE(square->yres(), 1080);

        // Picture: 400 x 225 at (500, 107.5); the bars fill its top 40/54.
        const QRectF bars(500, 107.5, 400, 225.0 * 40 / 54);
        QString why;
        QVERIFY2(drtest::waitUntil([&] { return barsShown(view.grabWindow(), bars, &why); }, 5000),
                 qPrintable(why));
        const QImage img = view.grabWindow();
        for (int y : {30, 100, 340, 410})
            QVERIFY2(near(img.pixel(700, y), 0x20, 0x30, 0x40, 2), qPrintable(QString::number(y)));
    }

    void doubleClickSwitchesToHighAndBackAndLevelsArrive()
    {
        QQuickView view;
        view.rootContext()->setContextProperty("daemonService", &m_levels);
        view.rootContext()->setContextProperty("resDir", drtest::sourceDir() + "/res");
        view.setSource(QUrl::fromLocalFile(drtest::sourceDir() + "/tests/render/TileScene.qml"));
        QVERIFY2(view.status() == QQuickView::Ready, "tile scene did not load");
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QQuickItem *tile = view.rootObject()->property("tile").value<QQuickItem *>();
        QVERIFY(tile);
        auto *renderer = tile->findChild<VideoRender *>("renderer");
        QVERIFY(renderer);
        tile->setProperty("source", m_name);
        QVERIFY(drtest::waitUntil([&] { return tile->property("videoState") == "play"; }, 10000));
        // The high stream of the previous case may still be open for a moment and bridge
        // the gap until the low stream delivers: wait for the low stream's smaller picture.
        QVERIFY2(drtest::waitUntil([&] { return renderer->xres() > 0 && renderer->xres() < 1920; },
                                   5000),
                 qPrintable(QString::number(renderer->xres())));
        const int lowWidth = renderer->xres();
        QCOMPARE(renderer->bandwidth(), 2);

        const QPoint centre(320, 200);
        QTest::mouseDClick(&view, Qt::LeftButton, {}, centre);
        QVERIFY(drtest::waitUntil([&] { return renderer->xres() == 1920; }, 5000));
        QCOMPARE(tile->property("xres").toInt(), 1920);
        QTest::mouseDClick(&view, Qt::LeftButton, {}, centre);
        QVERIFY(drtest::waitUntil([&] { return renderer->xres() == lowWidth; }, 5000));
        QCOMPARE(renderer->bandwidth(), 2);

        // The tone of -6 dBFS reaches the control service on both channels.
        QVERIFY2(
            drtest::waitUntil(
                [&] {
                    return qAbs(m_levels.levels[0] + 6) <= 1 && qAbs(m_levels.levels[1] + 6) <= 1;
                },
                5000),
            qPrintable(QStringLiteral("%1 %2").arg(m_levels.levels[0]).arg(m_levels.levels[1])));
    }
};

RENDER_GUI_TEST_MAIN(TstRenderSources)
#include "tst_rendersources.moc"
