// Layout catalogue geometry and the "use_output" mark of the current layout.
#include "control/LayoutManager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

QJsonArray entries(LayoutManager &manager)
{
    return manager.layoutJson().value("data").toArray();
}

QList<int> markedIds(LayoutManager &manager)
{
    QList<int> ids;
    for (const QJsonValue &entry : entries(manager)) {
        if (entry.toObject().contains("use_output")) {
            if (entry.toObject().value("use_output").toInt() != 1)
                ids.append(-1); // a mark other than 1 shows up as a wrong id
            ids.append(entry.toObject().value("id").toInt());
        }
    }
    return ids;
}

} // namespace

class TestLayoutManager : public QObject
{
    Q_OBJECT
private slots:
    void catalogueHasFiveLayoutsInOrder()
    {
        LayoutManager manager;
        const QJsonObject document = manager.layoutJson();
        QCOMPARE(document.value("result").toString(), "ok");
        const QJsonArray data = document.value("data").toArray();
        QCOMPARE(data.size(), 5);
        const char *names[] = {"oneWindow", "fourWindows", "nineWindows", "sixteenWindows",
                               "twentyWindows"};
        const int counts[] = {1, 4, 9, 16, 20};
        for (int i = 0; i < 5; ++i) {
            const QJsonObject entry = data.at(i).toObject();
            QCOMPARE(entry.value("id").toInt(), i + 1);
            QCOMPARE(entry.value("name").toString(), names[i]);
            QCOMPARE(entry.value("number").toInt(), counts[i]);
            QCOMPARE(entry.value("position").toArray().size(), counts[i]);
            QCOMPARE(entry.value("enable").toInt(), 1);
            QCOMPARE(entry.value("img_id").toInt(), 0);
            QCOMPARE(LayoutManager::windowCountOf(i + 1), counts[i]);
        }
        QCOMPARE(LayoutManager::windowCountOf(0), 0);
        QCOMPARE(LayoutManager::windowCountOf(6), 0);
    }

    void rectanglesTileTheArea_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("columns");
        QTest::addColumn<double>("cell");
        QTest::addColumn<double>("cellHeight");
        QTest::newRow("one") << 0 << 1 << 100.0 << 100.0;
        QTest::newRow("four") << 1 << 2 << 50.0 << 50.0;
        QTest::newRow("sixteen") << 3 << 4 << 25.0 << 25.0;
        QTest::newRow("twenty is 5x4") << 4 << 5 << 20.0 << 25.0;
    }
    void rectanglesTileTheArea()
    {
        QFETCH(int, index);
        QFETCH(int, columns);
        QFETCH(double, cell);
        QFETCH(double, cellHeight);
        LayoutManager manager;
        const QJsonArray positions =
            entries(manager).at(index).toObject().value("position").toArray();
        for (int k = 0; k < positions.size(); ++k) {
            const QJsonObject rect = positions.at(k).toObject();
            QCOMPARE(rect.value("width").toDouble(), cell);
            QCOMPARE(rect.value("height").toDouble(), cellHeight);
            QCOMPARE(rect.value("x").toDouble(), cell * (k % columns));
            QCOMPARE(rect.value("y").toDouble(), cellHeight * (k / columns));
        }
        // The last window closes the area exactly.
        const QJsonObject last = positions.last().toObject();
        QCOMPARE(last.value("x").toDouble() + last.value("width").toDouble(), 100.0);
        QCOMPARE(last.value("y").toDouble() + last.value("height").toDouble(), 100.0);
    }

    void nineWindowThirdsSerialiseAsWritten()
    {
        LayoutManager manager;
        const QJsonObject nine = entries(manager).at(2).toObject();
        const QByteArray text = QJsonDocument(nine).toJson(QJsonDocument::Compact);
        QVERIFY(text.contains("33.3333"));
        QVERIFY(text.contains("66.6666"));
        const QJsonObject first = nine.value("position").toArray().at(0).toObject();
        const QByteArray firstText = QJsonDocument(first).toJson(QJsonDocument::Compact);
        QVERIFY2(firstText.contains("\"x\":0,") || firstText.contains("\"x\":0}"), firstText);
        QVERIFY2(firstText.contains("\"y\":0,") || firstText.contains("\"y\":0}"), firstText);
        const QJsonObject last = nine.value("position").toArray().at(8).toObject();
        QCOMPARE(last.value("x").toDouble(), 66.6666);
        QCOMPARE(last.value("y").toDouble(), 66.6666);
    }

    void useOutputMarksOnlyTheChosenLayout()
    {
        LayoutManager manager;
        QVERIFY(markedIds(manager).isEmpty());
        QVERIFY(!manager.layoutChosen());
        manager.setLayout(3);
        QCOMPARE(markedIds(manager), QList<int>{3});
        manager.setLayout(1);
        QCOMPARE(markedIds(manager), QList<int>{1});
        QCOMPARE(manager.currentLayoutId(), 1);
        // An id outside the catalogue is taken as is and leaves no entry marked.
        manager.setLayout(9);
        QVERIFY(markedIds(manager).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLayoutManager)
#include "tst_layout_manager.moc"
