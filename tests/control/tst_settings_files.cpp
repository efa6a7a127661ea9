// Settings files of the data folder: defaults for missing and broken files, what the
// service reads at start, and atomic replacement on write.
#include "control/DaemonService.h"
#include "control/JsonFile.h"
#include "control/WindowObject.h"

#include <QFile>
#include <QJsonArray>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

} // namespace

class TestSettingsFiles : public QObject
{
    Q_OBJECT
private slots:
    void readGivesDefaultsForBadFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("truncated") << QByteArray("{\"data\": {\"id\": 1,");
        QTest::newRow("array") << QByteArray("[1, 2]");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12);
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
            writeText(path, content);
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

    void firstStartUsesDefaults()
    {
        QTemporaryDir dir;
        const QString data = dir.filePath("data/nested");
        DaemonService service;
        QVERIFY(service.init(data, dir.path(), 0));
        QCOMPARE(service.getCurrentLang(), "zh");
        QCOMPARE(service.ndiGroups(), "public");
        const WindowObject *model = service.windowObject();
        QCOMPARE(model->layoutId(), 1);
        QCOMPARE(model->windowCount(), 1);
        QCOMPARE(model->name(1), "Camera-1");
        QCOMPARE(model->storage().limitType, "time");
        QVERIFY(!QFile::exists(data + "/output.json")); // written with the first change
        QVERIFY(!QFile::exists(data + "/groups.json"));
        emit service.updateSource();
        QVERIFY(QFile::exists(data + "/output.json"));
    }

    void storedSettingsAreRead()
    {
        QTemporaryDir dir;
        QSettings(dir.filePath("lang.ini"), QSettings::IniFormat)
            .setValue("ChangeLanguage/Language", "fr");
        QSettings(dir.filePath("ntp.ini"), QSettings::IniFormat)
            .setValue("ChangeNtpServer/addr", "10.1.1.1");
        writeText(dir.filePath("groups.json"),
                  R"({"group_name": ["a", "b"], "ip": ["1.2.3.4", 5], "note": "kept"})");
        writeText(dir.filePath("output.json"),
                  R"({"data": {"layout_id": 0, "layout_count": 9, "name": "P",
                      "layout": [{"stream_id": "S1"}, {"name": "two"}]}})");
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        QCOMPARE(service.getCurrentLang(), "fr"); // taken as it is
        QCOMPARE(service.ntpServer(), "10.1.1.1");
        QCOMPARE(service.ndiGroups(), "a,b");
        QCOMPARE(service.manualIps(), "1.2.3.4,");
        // Differing from the defaults, groups.json is written again with the same object.
        QCOMPARE(JsonFile::readJsonFile(dir.filePath("groups.json")).value("note"), "kept");
        QCOMPARE(service.windowObject()->layoutId(), 1);
        QCOMPARE(service.windowObject()->positions().size(), 2);
        QCOMPARE(service.windowObject()->streamId(1), "S1");
        QCOMPARE(service.windowObject()->projectName(), "P");
    }

    void brokenFilesNeverStopStartUp()
    {
        QTemporaryDir dir;
        writeText(dir.filePath("lang.ini"), "\x01\x02[[[=\n");
        writeText(dir.filePath("groups.json"), R"({"group_name": "notalist", "ip": 3})");
        writeText(dir.filePath("output.json"), R"({"data": {"layout": "x", "storage": 7}})");
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        QCOMPARE(service.ndiGroups(), "public");
        QVERIFY(service.windowObject()->isEmpty());
        QCOMPARE(service.windowObject()->ensureLayout(), 1);

        // Default groups as stored are not rewritten.
        const QByteArray text = R"({"group_name":["public"],"ip":[]})";
        writeText(dir.filePath("groups.json"), text);
        DaemonService again;
        QVERIFY(again.init(dir.path(), dir.path(), 0));
        QFile groups(dir.filePath("groups.json"));
        QVERIFY(groups.open(QIODevice::ReadOnly));
        QCOMPARE(groups.readAll(), text);

        writeText(dir.filePath("file"), "x");
        DaemonService noFolder;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot create the data folder"));
        QVERIFY(!noFolder.init(dir.filePath("file/sub"), dir.path(), 0));
    }
};

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "tst_settings_files.moc"
