// The window model: per-window state changes, layout growth and shrinking, the cached
// status document, repair of bad persisted values, and the storage settings.
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
        video.setLevel(17, -10); // channel numbers wrap; negative ones are channel 0
        video.setLevel(-3, -20);
        QCOMPARE(video.level(1), -10);
        QCOMPARE(video.level(0), -20);
        video.setNtpState("sync", 9000, "Varimont");
        video.setNtpState("sync", -1, "Varimont"); // a negative rate keeps the last one
        QCOMPARE(video.bitRate(), 9000);

        // A new source clears clock state, vendor and audio; a reset keeps the name only.
        video.setAudioState("on");
        video.setSource("CAM (A)");
        QVERIFY(video.ntpState() == "unsync" && video.bitRate() == 0 && video.vendor().isEmpty());
        QCOMPARE(video.audioState(), "off");
        video.setName("Stage");
        video.setShow(false, true);
        video.resetWindow();
        QVERIFY(video.streamId().isEmpty() && video.showVideo() && video.showVolume());
        QCOMPARE(video.name(), "Stage");
    }

    void layoutChangesKeepWindowsAndMissingOnesAreIgnored()
    {
        WindowObject model;
        model.setName(7, "x");
        QVERIFY(model.isEmpty());
        QVERIFY(model.showVideo(7) && model.streamId(7).isNull());
        QCOMPARE(model.ensureLayout(), 1);
        model.setWindowLayout(4, 16);
        model.setSource(10, "ten");
        model.setWindowLayout(2, 4);
        QCOMPARE(model.ensureLayout(), 2); // an existing layout is kept
        QCOMPARE(model.outputJson().value("data")["layout"].toArray().size(), 16);
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
            [&] { model.setNtpState(2, "sync", 5, "Varimont"); },
            [&] { model.setShow(4, false, true); },
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
        QCOMPARE(model.streamId(3), "s");
        QCOMPARE(model.streamId(20), "19");
        QCOMPARE(model.storage().limitTime, 60);
        QCOMPARE(model.storage().ruleStart, "P");

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
        // Out-of-range values fall back to their defaults; numbers may come as text.
        const auto from = [](const QJsonObject &request) {
            return StorageSettings::fromRequest(request);
        };
        QCOMPARE(from({{"limitSize", 1e12}}).limitSize, std::numeric_limits<int>::max());
        QCOMPARE(from({{"limitType", "size"}, {"limitSize", 0}}).limitSize, 1024);
        QCOMPARE(from({{"limitSize", "2048"}}).limitSize, 2048);
        QCOMPARE(from({{"limitType", "time"}, {"limitTime", 0}}).limitTime, 60);
        QCOMPARE(from({{"frmode", 2}}).frmode, 0);
        QCOMPARE(from({{"frmode", -1}}).frmode, 0);
        QCOMPARE(from({{"codec", "utvideo"}}).codec, "utvideo");
        QCOMPARE(from({{"codec", "mpeg2"}}).codec, "h264");
        const StorageSettings rules = from({{"rules", QJsonObject{{"middle", "M"}}}});
        QCOMPARE(rules.ruleMiddle, "M");
        QCOMPARE(rules.ruleStart, "Default Project");

        WindowObject model; // an empty start rule takes the project name
        model.setProjectName("Proj");
        StorageSettings storage;
        storage.ruleStart = "";
        model.setStorage(storage);
        QCOMPARE(model.storageJson().value("data")["rules"]["start"], "Proj");
    }
};

QTEST_GUILESS_MAIN(TestWindowModel)
#include "tst_window_model.moc"
