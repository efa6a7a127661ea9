// The window model: per-window state changes, layout growth and shrinking, the status
// and persisted documents, loading a persisted document, and the storage settings.
#include "control/StorageSettings.h"
#include "control/VideoObject.h"
#include "control/WindowObject.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

class TestWindowModel : public QObject
{
    Q_OBJECT
private slots:
    void windowStateRules()
    {
        VideoObject video(4);
        QCOMPARE(video.statusJson().size(), 14);
        QCOMPARE(video.storeJson().size(), 7);
        video.setName("");
        QCOMPARE(video.name(), QString::fromUtf8("默认镜头号4"));
        video.setLevel(17, -10); // channel numbers wrap; negative ones are channel 0
        video.setLevel(-3, -20);
        QCOMPARE(video.level(1), -10);
        QCOMPARE(video.level(0), -20);
        video.setNtpState("sync", 9000, "varimont");
        QVERIFY(!video.statusJson().value("isVarimont").toBool()); // exact comparison
        video.setNtpState("sync", -1, "Varimont"); // a negative rate keeps the last one
        QCOMPARE(video.statusJson().value("bit_rate").toInt(), 9000);
        QVERIFY(video.statusJson().value("isVarimont").toBool());

        // A new source clears clock state, vendor and audio; a reset keeps the name only.
        video.setAudioState("on");
        video.setSource("CAM (A)");
        QCOMPARE(video.statusJson().value("stream_name").toString(), "CAM (A)");
        QCOMPARE(video.ntpState(), "unsync");
        QCOMPARE(video.bitRate(), 0);
        QCOMPARE(video.vendor(), "");
        QCOMPARE(video.audioState(), "off");
        video.setName("Stage");
        video.setShow(false, true);
        video.setDeviceType("box");
        video.resetWindow();
        QCOMPARE(video.streamId(), "");
        QCOMPARE(video.name(), "Stage");
        QVERIFY(video.showVideo() && video.showVolume());
        QCOMPARE(video.deviceType(), "");
    }

    void layoutChangesKeepWindowsAndMissingOnesAreIgnored()
    {
        WindowObject model;
        model.setName(7, "x");
        QVERIFY(model.isEmpty());
        QVERIFY(model.showVideo(7) && model.streamId(7).isNull());
        QCOMPARE(model.ensureLayout(), 1);
        QCOMPARE(model.windowCount(), 1);
        model.setWindowLayout(4, 16);
        model.setSource(10, "ten");
        model.setWindowLayout(2, 4);
        QCOMPARE(model.ensureLayout(), 2); // an existing layout is kept
        const QJsonObject data = model.outputJson().value("data").toObject();
        QCOMPARE(data.value("layout").toArray().size(), 16);
        QCOMPARE(data.value("layout_number").toInt(), 4);
        model.setWindowLayout(4, 16);
        QCOMPARE(model.streamId(10), "ten");
    }

    void cachedOutputTextFollowsEveryChange()
    {
        WindowObject model;
        const auto fresh = [&] {
            return QJsonDocument(model.outputJson()).toJson(QJsonDocument::Compact);
        };
        QCOMPARE(model.outputJsonText(), fresh());
        const QList<std::function<void()>> changes = {
            [&] { model.ensureLayout(); },
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
            QCOMPARE(model.outputJsonText(), fresh());
            QVERIFY(model.outputJsonText() != before);
        }
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
        storage.ruleMiddle = "Mid";
        model.setStorage(storage);

        WindowObject loaded;
        loaded.initWindows(model.storeJson(), "/res", "/data");
        QCOMPARE(loaded.storeJson(), model.storeJson());
        QCOMPARE(loaded.windowCount(), 4);
        QVERIFY(!loaded.showVideo(3));
    }

    void loadingRepairsBadValues()
    {
        QJsonArray many{QJsonObject{{"name", ""}}, QJsonObject{},
                        QJsonObject{{"name", 5}, {"stream_id", "s"}}, "junk"};
        for (int i = 4; i < 25; ++i)
            many.append(QJsonObject{{"stream_id", QString::number(i)}});
        WindowObject model;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("settings hold 25 windows"));
        model.initWindows(
            {{"layout_id", 0},
             {"layout_count", 500},
             {"layout", many},
             {"storage", QJsonObject{{"limitType", "time"},
                                     {"limitTime", -5},
                                     {"rules", QJsonObject{{"start", ""}, {"end", ""}}}}},
             {"name", "P"}},
            {}, {});
        QCOMPARE(model.layoutId(), 1);
        QCOMPARE(model.windowCount(), 1);
        QCOMPARE(model.positions().size(), WindowObject::MaxWindows);
        QCOMPARE(model.name(1), "Default Camera1");
        QCOMPARE(model.name(2), "Camera-2"); // no name key: the constructor's name stays
        QCOMPARE(model.name(3), "Camera-3"); // a name of the wrong type is ignored
        QCOMPARE(model.streamId(3), "s");
        QCOMPARE(model.streamId(20), "19");
        QCOMPARE(model.storage().limitTime, 60);
        QCOMPARE(model.storage().ruleStart, "P");
        QCOMPARE(model.storage().ruleEnd, "yyyyMMdd-HH.mm.ss");

        WindowObject sizeModel;
        sizeModel.initWindows({{"storage", QJsonObject{{"limitType", "size"}, {"limitSize", 0}}}},
                              {}, {});
        QCOMPARE(sizeModel.storage().limitSize, 1024);
        QCOMPARE(sizeModel.layoutId(), 0); // no layout keys: still no layout
    }

    void storageRequestStartsFromDefaults()
    {
        StorageSettings expected;
        expected.storePath = "/x";
        QVERIFY(StorageSettings::fromRequest({{"storePath", "/x"}}) == expected);
        QCOMPARE(StorageSettings::fromRequest({{"limitType", "size"}, {"limitSize", 0}}).limitSize,
                 1024);
        QCOMPARE(StorageSettings::fromRequest({{"limitSize", 1e12}}).limitSize,
                 std::numeric_limits<int>::max());
        QCOMPARE(StorageSettings::fromRequest({{"limitType", "time"}, {"limitTime", 0}}).limitTime,
                 60);
        QCOMPARE(StorageSettings::fromRequest({{"frmode", 2}}).frmode, 0);
        QCOMPARE(StorageSettings::fromRequest({{"frmode", "1"}}).frmode, 1);
        const StorageSettings rules =
            StorageSettings::fromRequest({{"rules", QJsonObject{{"middle", "M"}}}});
        QCOMPARE(rules.ruleMiddle, "M");
        QCOMPARE(rules.ruleStart, "Default Project");

        WindowObject model; // an empty start rule takes the project name
        model.setProjectName("Proj");
        StorageSettings storage;
        storage.ruleStart = "";
        model.setStorage(storage);
        QCOMPARE(
            model.storageJson().value("data").toObject().value("rules").toObject().value("start"),
            "Proj");
    }
};

QTEST_GUILESS_MAIN(TestWindowModel)
#include "tst_window_model.moc"
