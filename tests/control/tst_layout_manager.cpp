// Layout catalogue geometry as the web page and the window grid read it (which layout the
// grid shows is checked on screen by tst_mainwindow).
#include "control/LayoutManager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <cmath>

class TestLayoutManager : public QObject
{
    Q_OBJECT
private slots:
    void rectanglesTileTheArea_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::newRow("one") << 1 << 1 << 1;
        QTest::newRow("four") << 2 << 2 << 2;
        QTest::newRow("nine") << 3 << 3 << 3;
        QTest::newRow("sixteen") << 4 << 4 << 4;
        QTest::newRow("twenty is 5x4") << 5 << 5 << 4;
    }
    void rectanglesTileTheArea()
    {
        QFETCH(int, id);
        QFETCH(int, columns);
        QFETCH(int, rows);
        const QJsonObject entry =
            LayoutManager().layoutJson().value("data").toArray().at(id - 1).toObject();
        QCOMPARE(entry.value("id").toInt(), id);
        QCOMPARE(LayoutManager::windowCountOf(id), columns * rows);
        QCOMPARE(LayoutManager::windowCountOf(6), 0); // outside the catalogue
        const QJsonArray positions = entry.value("position").toArray();
        QCOMPARE(positions.size(), columns * rows);
        // Cells are cut to four decimals (33.3333), never rounded up past the area.
        const auto cut = [](int parts) { return std::floor(1e6 / parts) / 1e4; };
        for (int k = 0; k < positions.size(); ++k) {
            const QJsonObject rect = positions.at(k).toObject();
            QCOMPARE(rect.value("width").toDouble(), cut(columns));
            QCOMPARE(rect.value("height").toDouble(), cut(rows));
            QCOMPARE(rect.value("x").toDouble(), std::floor(1e6 * (k % columns) / columns) / 1e4);
            QCOMPARE(rect.value("y").toDouble(), std::floor(1e6 * (k / columns) / rows) / 1e4);
        }
        // As the web page reads it: four decimals, and zero written as an integer.
        const QByteArray text = QJsonDocument(entry).toJson(QJsonDocument::Compact);
        QVERIFY2(text.contains("\"x\":0,\"y\":0}"), text);
        if (columns == 3)
            QVERIFY2(text.contains("\"height\":33.3333,\"width\":33.3333,\"x\":66.6666"), text);
    }
};

QTEST_GUILESS_MAIN(TestLayoutManager)
#include "tst_layout_manager.moc"
