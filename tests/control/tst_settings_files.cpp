// Settings files of the data folder: defaults for missing and broken files, the first
// start, and atomic replacement on write (stored values read back: tst_control_app).
#include "control/DaemonService.h"
#include "control/JsonFile.h"
#include "control/WindowObject.h"

#include "TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using drtest::writeFile;

class TestSettingsFiles : public QObject
{
    Q_OBJECT
private slots:
    void readGivesDefaultsForBadFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("truncated") << QByteArray("{\"data\": {\"id\": 1,");
        QTest::newRow("array") << QByteArray("[1, 2]");
    }
    void readGivesDefaultsForBadFiles()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("output.json");
        if (content.isNull())
            QTest::ignoreMessage(QtWarningMsg,
                                 qPrintable("layoutManager get json failed : " + path));
        else
            QVERIFY(writeFile(path, content));
        QCOMPARE(JsonFile::readJsonFile(path), JsonFile::defaultOutputDocument());
    }

    void writeReplacesWholeFileAndFailsCleanly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("groups.json");
        const QJsonObject first{{"ip", QJsonArray{"10.0.0.1"}}}, second{{"ip", QJsonArray{}}};
        QVERIFY(JsonFile::writeJsonFile(first, path));
        QVERIFY(JsonFile::writeJsonFile(second, path));
        QCOMPARE(JsonFile::readJsonFile(path), second);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 QStringList{"groups.json"}); // no temp left

        // A file that cannot be replaced stays as it was (root ignores permissions: skipped).
        const QString locked = dir.filePath("locked");
        QVERIFY(QDir(dir.path()).mkdir("locked"));
        QVERIFY(JsonFile::writeJsonFile(first, locked + "/output.json"));
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        if (!QFile(locked + "/probe").open(QIODevice::WriteOnly)) {
            QVERIFY(!JsonFile::writeJsonFile(second, locked + "/output.json"));
            QCOMPARE(JsonFile::readJsonFile(locked + "/output.json"), first);
        }
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // A first start makes the folder and writes on the first change; broken files never
    // stop start-up.
    void startUpFromMissingOrBrokenFiles()
    {
        QTemporaryDir dir;
        const QString data = dir.filePath("data/nested");
        DaemonService first;
        QVERIFY(first.init(data, dir.path(), 0));
        QVERIFY(!QFile::exists(data + "/output.json"));
        emit first.updateSource();
        QVERIFY(QFile::exists(data + "/output.json"));

        writeFile(dir.filePath("lang.ini"), "\x01\x02[[[=\n");
        writeFile(dir.filePath("groups.json"), R"({"group_name": "notalist", "ip": 3})");
        writeFile(dir.filePath("output.json"), R"({"data": {"layout": "x", "storage": 7}})");
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        QCOMPARE(service.ndiGroups(), "public");
        QVERIFY(service.windowObject()->isEmpty());
        QCOMPARE(service.windowObject()->ensureLayout(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "tst_settings_files.moc"
