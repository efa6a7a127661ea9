// Settings files of the data folder: defaults for missing and broken files, what the
// service reads at start, and atomic replacement on write.
#include "control/DaemonService.h"
#include "control/JsonFile.h"
#include "control/WindowObject.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
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

QByteArray readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

class TestSettingsFiles : public QObject
{
    Q_OBJECT
private slots:
    void readGivesDefaultsForBadFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("truncated") << QByteArray("{\"data\": {\"id\": 1,") << true;
        QTest::newRow("array") << QByteArray("[1, 2]") << true;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12) << true;
    }
    void readGivesDefaultsForBadFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
        QTemporaryDir dir;
        const QString path = dir.filePath("output.json");
        if (create)
            writeText(path, content);
        if (!create)
            QTest::ignoreMessage(QtWarningMsg,
                                 qPrintable("layoutManager get json failed : " + path));
        QCOMPARE(JsonFile::readJsonFile(path), JsonFile::defaultOutputDocument());
    }

    void defaultDocumentHasOneWindow()
    {
        const QJsonObject data = JsonFile::defaultOutputDocument().value("data").toObject();
        const QJsonObject window = data.value("layout").toArray().at(0).toObject();
        QCOMPARE(window.value("name").toString(), "Camera-1");
        QCOMPARE(window.value("volume").toString(), "off");
        QCOMPARE(data.value("storage").toObject().value("limitType").toString(), "time");
    }

    void writeReplacesWholeFileAndFailsCleanly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("groups.json");
        const QJsonObject first{{"ip", QJsonArray{"10.0.0.1"}}};
        QVERIFY(JsonFile::writeJsonFile(first, path));
        QCOMPARE(JsonFile::readJsonFile(path), first);
        const QJsonObject second{{"ip", QJsonArray{}}};
        QVERIFY(JsonFile::writeJsonFile(second, path));
        QCOMPARE(JsonFile::readJsonFile(path), second);
        // No temporary files are left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"groups.json"});

        // A file that cannot be replaced stays as it was.
        QVERIFY(QDir(dir.path()).mkdir("locked"));
        const QString lockedPath = dir.filePath("locked/output.json");
        QVERIFY(JsonFile::writeJsonFile(first, lockedPath));
        QFile::setPermissions(dir.filePath("locked"), QFile::ReadOwner | QFile::ExeOwner);
        const bool canWriteAnyway = QFileInfo(dir.filePath("locked")).isWritable() &&
                                    QFile(dir.filePath("locked/probe")).open(QIODevice::WriteOnly);
        if (!canWriteAnyway) { // root ignores permissions
            QVERIFY(!JsonFile::writeJsonFile(second, lockedPath));
            QCOMPARE(JsonFile::readJsonFile(lockedPath), first);
        }
        QFile::setPermissions(dir.filePath("locked"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void firstStartUsesDefaults()
    {
        QTemporaryDir dir;
        const QString data = dir.filePath("data/nested");
        DaemonService service;
        QVERIFY(service.init(data, dir.path(), 0));
        QCOMPARE(service.getCurrentLang(), "zh");
        QCOMPARE(service.ntpServer(), "");
        QCOMPARE(service.ndiGroups(), "public");
        QCOMPARE(service.manualIps(), "");
        QCOMPARE(service.resFolder(), dir.path() + "/res");
        WindowObject *model = service.windowObject();
        QCOMPARE(model->layoutId(), 1);
        QCOMPARE(model->windowCount(), 1);
        QCOMPARE(model->name(1), "Camera-1");
        QCOMPARE(model->storage().limitType, "time");
        QCOMPARE(model->storage().limitTime, 60);
        QCOMPARE(model->storage().limitSize, 1024);
        QVERIFY(!QFile::exists(data + "/output.json")); // written with the first change
        QVERIFY(!QFile::exists(data + "/groups.json"));
        emit service.updateSource();
        QVERIFY(QFile::exists(data + "/output.json"));
    }

    void storedSettingsAreRead()
    {
        QTemporaryDir dir;
        {
            QSettings lang(dir.filePath("lang.ini"), QSettings::IniFormat);
            lang.setValue("ChangeLanguage/Language", "fr"); // taken as it is
            QSettings ntp(dir.filePath("ntp.ini"), QSettings::IniFormat);
            ntp.setValue("ChangeNtpServer/addr", "10.1.1.1");
        }
        writeText(dir.filePath("groups.json"),
                  R"({"group_name": ["a", "b"], "ip": ["1.2.3.4", 5], "note": "kept"})");
        writeText(dir.filePath("output.json"),
                  R"({"data": {"layout_id": 0, "layout_count": 9, "name": "P",
                      "layout": [{"stream_id": "S1"}, {"name": "two"}]}})");
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        QCOMPARE(service.getCurrentLang(), "fr");
        QCOMPARE(service.ntpServer(), "10.1.1.1");
        QCOMPARE(service.ndiGroups(), "a,b");
        QCOMPARE(service.manualIps(), "1.2.3.4,");
        // Differing from the defaults, groups.json is written again with the same object.
        const QJsonObject groups = JsonFile::readJsonFile(dir.filePath("groups.json"));
        QCOMPARE(groups.value("note").toString(), "kept");
        QCOMPARE(service.windowObject()->layoutId(), 1);
        QCOMPARE(service.windowObject()->windowCount(), 1);
        QCOMPARE(service.windowObject()->positions().size(), 2);
        QCOMPARE(service.windowObject()->streamId(1), "S1");
        QCOMPARE(service.windowObject()->projectName(), "P");
    }

    void defaultGroupsAreNotRewritten()
    {
        QTemporaryDir dir;
        const QByteArray text = R"({"group_name":["public"],"ip":[]})";
        writeText(dir.filePath("groups.json"), text);
        DaemonService service;
        QVERIFY(service.init(dir.path(), dir.path(), 0));
        QCOMPARE(readText(dir.filePath("groups.json")), text);
        QCOMPARE(service.ndiGroups(), "public");
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
    }

    void uncreatableDataFolderFailsInit()
    {
        QTemporaryDir dir;
        writeText(dir.filePath("file"), "x");
        DaemonService service;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot create the data folder"));
        QVERIFY(!service.init(dir.filePath("file/sub"), dir.path(), 0));
    }
};

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "tst_settings_files.moc"
