// Layout catalogue geometry and the "use_output" mark of the current layout.
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
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::newRow("one") << 1 << "oneWindow" << 1 << 1;
        QTest::newRow("four") << 2 << "fourWindows" << 2 << 2;
        QTest::newRow("nine") << 3 << "nineWindows" << 3 << 3;
        QTest::newRow("sixteen") << 4 << "sixteenWindows" << 4 << 4;
        QTest::newRow("twenty is 5x4") << 5 << "twentyWindows" << 5 << 4;
    }
    void rectanglesTileTheArea()
    {
        QFETCH(int, id);
        QFETCH(QString, name);
        QFETCH(int, columns);
        QFETCH(int, rows);
        const QJsonObject entry =
            LayoutManager().layoutJson().value("data").toArray().at(id - 1).toObject();
        QCOMPARE(entry.value("id").toInt(), id);
        QCOMPARE(entry.value("name").toString(), name);
        QCOMPARE(entry.value("number").toInt(), columns * rows);
        QCOMPARE(LayoutManager::windowCountOf(id), columns * rows);
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
    }

    void ninthsSerialiseAsWrittenAndIdsOutsideCountNothing()
    {
        const QJsonObject nine =
            LayoutManager().layoutJson().value("data").toArray().at(2).toObject();
        const QByteArray text = QJsonDocument(nine).toJson(QJsonDocument::Compact);
        QVERIFY2(
            text.contains("{\"height\":33.3333,\"width\":33.3333,\"x\":66.6666,\"y\":66.6666}"),
            text);
        QVERIFY2(text.contains("\"x\":0,\"y\":0}"), text); // zero is written as an integer
        QCOMPARE(LayoutManager::windowCountOf(0), 0);
        QCOMPARE(LayoutManager::windowCountOf(6), 0);
    }

    void useOutputMarksOnlyTheChosenLayout()
    {
        LayoutManager manager;
        const auto marked = [&manager] {
            QList<int> ids;
            for (const QJsonValue &entry : manager.layoutJson().value("data").toArray()) {
                if (entry.toObject().contains("use_output"))
                    ids << entry.toObject().value("id").toInt()
                        << entry.toObject().value("use_output").toInt();
            }
            return ids;
        };
        QVERIFY(marked().isEmpty());
        QVERIFY(!manager.layoutChosen());
        manager.setLayout(3);
        QCOMPARE(marked(), QList<int>({3, 1}));
        manager.setLayout(1);
        QCOMPARE(marked(), QList<int>({1, 1}));
        manager.setLayout(9); // outside the catalogue: taken, nothing marked
        QVERIFY(marked().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLayoutManager)
#include "tst_layout_manager.moc"
