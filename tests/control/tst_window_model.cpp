// The window model: per-window state changes, layout growth and shrinking, the status
// and persisted documents, loading a persisted document, and the storage settings.
#include "control/StorageSettings.h"
#include "control/VideoObject.h"
#include "control/WindowObject.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestWindowModel : public QObject
{
    Q_OBJECT
private slots:
    void newWindowDefaults()
    {
        VideoObject video(3);
        const QJsonObject status = video.statusJson();
        QCOMPARE(status.value("id").toInt(), 3);
        QCOMPARE(status.value("name").toString(), "Camera-3");
        QCOMPARE(status.value("stream_id").toString(), "");
        QCOMPARE(status.value("ntp_state").toString(), "unsync");
        QCOMPARE(status.value("volume").toString(), "off");
        QCOMPARE(status.value("volume_1").toInt(), -200);
        QCOMPARE(status.value("volume_2").toInt(), -200);
        QCOMPARE(status.value("showAll").toBool(), true);
        QCOMPARE(status.value("isVarimont").toBool(), false);
        QCOMPARE(status.size(), 14);
        QCOMPARE(video.storeJson().size(), 7);
    }

    void sourceAndResetClearClockState()
    {
        VideoObject video(1);
        video.setNtpState("sync", 5000, "Varimont");
        video.setAudioState("on");
        QVERIFY(video.statusJson().value("isVarimont").toBool());
        video.setSource("CAM (A)");
        QCOMPARE(video.streamId(), "CAM (A)");
        QCOMPARE(video.ntpState(), "unsync");
        QCOMPARE(video.bitRate(), 0);
        QCOMPARE(video.vendor(), "");
        QCOMPARE(video.audioState(), "off");
        const QJsonObject status = video.statusJson();
        QCOMPARE(status.value("stream_name").toString(), "CAM (A)");

        video.setName("Stage");
        video.setShow(false, true);
        video.setDeviceType("box");
        video.resetWindow();
        QCOMPARE(video.streamId(), "");
        QCOMPARE(video.name(), "Stage"); // the name survives a reset
        QVERIFY(video.showVideo() && video.showVolume());
        QCOMPARE(video.deviceType(), "");
    }

    void namesLevelsAndBitRate()
    {
        VideoObject video(4);
        video.setName("");
        QCOMPARE(video.name(), QString::fromUtf8("默认镜头号4"));
        video.setLevel(17, -10);
        QCOMPARE(video.level(1), -10);
        video.setLevel(-3, -20);
        QCOMPARE(video.level(0), -20);
        video.setNtpState("sync", 9000, "varimont");
        QVERIFY(!video.statusJson().value("isVarimont").toBool()); // exact comparison
        video.setNtpState("sync", -1, "Varimont");
        QCOMPARE(video.bitRate(), 9000);
        QCOMPARE(video.statusJson().value("bit_rate").toInt(), 9000);
    }

    void layoutGrowsAndKeepsWindowsWhenShrinking()
    {
        WindowObject model;
        model.setWindowLayout(4, 16);
        QCOMPARE(model.positions().size(), 16);
        model.setSource(10, "ten");
        model.setWindowLayout(2, 4);
        QCOMPARE(model.windowCount(), 4);
        QCOMPARE(model.outputJson().value("data").toObject().value("layout").toArray().size(), 16);
        QCOMPARE(model.outputJson().value("data").toObject().value("layout_number").toInt(), 4);
        model.setWindowLayout(4, 16);
        QCOMPARE(model.streamId(10), "ten");
    }

    void cachedOutputTextFollowsEveryChange()
    {
        WindowObject model;
        const auto fresh = [&model] {
            return QJsonDocument(model.outputJson()).toJson(QJsonDocument::Compact);
        };
        QCOMPARE(model.outputJsonText(), fresh()); // empty model
        model.ensureLayout();
        QCOMPARE(model.outputJsonText(), fresh());
        const QList<std::function<void()>> changes = {
            [&] { model.setWindowLayout(2, 4); },
            [&] { model.setName(3, "Three"); },
            [&] { model.setSource(2, "S"); },
            [&] { model.setLevel(2, 1, -7); },
            [&] { model.setNtpState(2, "sync", 5, "Varimont"); },
            [&] { model.setShow(4, false, true); },
            [&] { model.setAudioState(1, "on"); },
            [&] { model.setVendor(2, ""); },
            [&] { model.resetWindow(2); },
            [&] { model.setWindowLayout(1, 1); },
            [&] {
                model.initWindows({{"layout", QJsonArray{QJsonObject{{"name", "L"}}}}}, {}, {});
            },
        };
        for (const auto &change : changes) {
            const QByteArray before = model.outputJsonText();
            change();
            const QByteArray after = model.outputJsonText();
            QCOMPARE(after, fresh());
            QVERIFY(after != before);
        }
    }

    void missingWindowsAreIgnoredWithDefaults()
    {
        WindowObject model;
        model.setName(7, "x");
        model.setSource(7, "y");
        QVERIFY(model.isEmpty());
        QVERIFY(model.showVideo(7));
        QVERIFY(model.showVolume(7));
        QVERIFY(model.streamId(7).isNull());
        QCOMPARE(model.audioState(7), "off");
        QCOMPARE(model.deviceType(7), "");
        QCOMPARE(model.ensureLayout(), 1);
        QCOMPARE(model.windowCount(), 1);
        QVERIFY(model.hasWindow(1));
        model.setWindowLayout(2, 4);
        QCOMPARE(model.ensureLayout(), 2); // an existing layout is kept
    }

    void persistedDocumentRoundTrips()
    {
        WindowObject model;
        model.setWindowLayout(2, 4);
        model.setProjectName("Show");
        model.setSource(2, "CAM 2");
        model.setName(2, "Left");
        model.setShow(3, false, false);
        model.setAudioState(2, "on");
        model.setDeviceType(2, "encoder");
        StorageSettings storage;
        storage.storePath = "/rec";
        storage.ruleMiddle = "Mid";
        model.setStorage(storage);

        const QJsonObject stored = model.storeJson();
        QCOMPARE(stored.value("id").toInt(), 1);
        QCOMPARE(stored.value("layout_count").toInt(), 4);

        WindowObject loaded;
        loaded.initWindows(stored, "/res", "/data");
        QCOMPARE(loaded.storeJson(), stored);
        QCOMPARE(loaded.projectName(), "Show");
        QCOMPARE(loaded.layoutId(), 2);
        QCOMPARE(loaded.name(2), "Left");
        QCOMPARE(loaded.audioState(2), "on");
        QVERIFY(!loaded.showVideo(3));
        QCOMPARE(loaded.storage().ruleMiddle, "Mid");
        QCOMPARE(loaded.resFolder(), "/res");
    }

    void loadingRepairsBadValues()
    {
        const QJsonObject data{
            {"layout_id", 0},
            {"layout_count", 0},
            {"layout", QJsonArray{QJsonObject{{"name", ""}}, QJsonObject{},
                                  QJsonObject{{"name", 5}, {"stream_id", "s"}}, "junk"}},
            {"storage", QJsonObject{{"limitType", "time"},
                                    {"limitTime", -5},
                                    {"rules", QJsonObject{{"start", ""}, {"end", ""}}}}},
            {"name", "P"}};
        WindowObject model;
        model.initWindows(data, {}, {});
        QCOMPARE(model.layoutId(), 1);
        QCOMPARE(model.windowCount(), 1);
        QCOMPARE(model.positions().size(), 4); // one window per entry all the same
        QCOMPARE(model.name(1), "Default Camera1");
        QCOMPARE(model.name(2), "Camera-2"); // no name key: the constructor's name stays
        QCOMPARE(model.name(3), "Camera-3"); // a name of the wrong type is ignored
        QCOMPARE(model.streamId(3), "s");
        QCOMPARE(model.storage().limitTime, 60);
        QCOMPARE(model.storage().ruleStart, "P");
        QCOMPARE(model.storage().ruleEnd, "yyyyMMdd-HH.mm.ss");

        WindowObject sizeModel;
        sizeModel.initWindows(
            QJsonObject{{"storage", QJsonObject{{"limitType", "size"}, {"limitSize", 0}}}}, {}, {});
        QCOMPARE(sizeModel.storage().limitSize, 1024);
        QCOMPARE(sizeModel.layoutId(), 0); // no layout keys: still no layout
    }

    void loadingIsBoundedByTheLargestLayout()
    {
        QJsonArray many;
        for (int i = 0; i < 25; ++i)
            many.append(QJsonObject{{"stream_id", QString::number(i)}});
        WindowObject model;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("settings hold 25 windows"));
        model.initWindows({{"layout_id", 4}, {"layout_count", 500}, {"layout", many}}, {}, {});
        QCOMPARE(model.positions().size(), WindowObject::MaxWindows);
        QCOMPARE(model.layoutId(), 1);
        QCOMPARE(model.windowCount(), 1);
        QCOMPARE(model.streamId(20), "19");
    }

    void storageRequestStartsFromDefaults()
    {
        StorageSettings onlyPath = StorageSettings::fromRequest({{"storePath", "/x"}});
        StorageSettings expected;
        expected.storePath = "/x";
        QVERIFY(onlyPath == expected);

        QCOMPARE(StorageSettings::fromRequest({{"limitType", "size"}, {"limitSize", 0}}).limitSize,
                 1024);
        QCOMPARE(StorageSettings::fromRequest({{"frmode", 2}}).frmode, 0);
        QCOMPARE(StorageSettings::fromRequest({{"frmode", -1}}).frmode, 0);
        QCOMPARE(StorageSettings::fromRequest({{"frmode", "1"}}).frmode, 1);
        QCOMPARE(StorageSettings::fromRequest({{"limitSize", "2048"}}).limitSize, 2048);
        QCOMPARE(StorageSettings::fromRequest({{"limitType", "time"}, {"limitTime", 0}}).limitTime,
                 60);
        QCOMPARE(StorageSettings::fromRequest({{"limitSize", 1e12}}).limitSize,
                 std::numeric_limits<int>::max());
        const StorageSettings rules =
            StorageSettings::fromRequest({{"rules", QJsonObject{{"middle", "M"}}}});
        QCOMPARE(rules.ruleMiddle, "M");
        QCOMPARE(rules.ruleStart, "Default Project");
    }

    void storageReplyAndRecordFlags()
    {
        QTemporaryDir folder;
        WindowObject model;
        model.setProjectName("Proj");
        StorageSettings storage;
        storage.ruleStart = "";
        model.setStorage(storage);
        const QJsonObject reply = model.storageJson();
        QCOMPARE(reply.value("result").toString(), "ok");
        QCOMPARE(reply.value("data").toObject().value("rules").toObject().value("start").toString(),
                 "Proj");
        QCOMPARE(model.storage().ruleStart, "Proj");

        model.setRecordFlags(true);
        QVERIFY(!model.storePathExists());
        QJsonObject status = model.recordStatusJson().value("data").toObject();
        QCOMPARE(status.value("isStandBy").toBool(), false); // no folder: flags cleared

        model.setStorePath(folder.path());
        QVERIFY(model.storePathExists());
        model.setRecordFlags(true);
        status = model.recordStatusJson().value("data").toObject();
        QVERIFY(status.value("isStandBy").toBool() && status.value("isRecording").toBool());

        model.setFreeSpace(2048.5);
        QCOMPARE(model.freeSpace(), 2048.5);
    }
};

QTEST_GUILESS_MAIN(TestWindowModel)
#include "tst_window_model.moc"
