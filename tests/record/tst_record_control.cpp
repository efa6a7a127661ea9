// The recording side of the window model with both back ends (the plug-in loaded from the
// build folder, and the coordinator when it is missing), driven through TaskObject on its
// own thread as the application does, against a stand-in recording program that speaks the
// real line protocol (fake-recorder.sh). The real program and real sources are exercised
// by tst_record_app.
#include "TestSupport.h"
#include "control/VideoObject.h"
#include "control/WindowObject.h"
#include "record/RecordNaming.h"
#include "record/RecorderProtocol.h"
#include "record/TaskObject.h"
#include "record/VideoRecording.h"

#include <QDir>
#include <QJsonArray>
#include <QThread>
#include <QtTest>
#include <mutex>
#include <tuple>

namespace {

// A window model recording into a temporary folder with the stand-in program, the task
// object on its own thread, and every callback and event it gives kept.
struct Rig
{
    QTemporaryDir tool;
    QTemporaryDir store;
    std::unique_ptr<WindowObject> model;
    QThread thread;
    TaskObject *task = nullptr;
    std::mutex lock;
    QList<std::tuple<int, int, int>> calls; // (position, state, error), guarded by lock
    QList<int> startEvents;                 // "record/start" of the coordinator

    explicit Rig(bool plugin)
    {
        qputenv("DESK_RECORDER_RECORDER_PLUGIN",
                plugin ? (drtest::buildDir() + "/librecorder.so").toUtf8() : QByteArray("/none"));
        QDir().mkpath(tool.path() + "/res/bin/record");
        QFile::link(drtest::sourceDir() + "/tests/record/fake-recorder.sh",
                    tool.path() + "/res/bin/record/ndi-recorder");
        model = std::make_unique<WindowObject>();
        model->setToolFolder(tool.path());
        model->setWindowLayout(2, 4);
        model->setSource(1, "A");
        model->setSource(3, "B");
        StorageSettings settings;
        settings.storePath = store.path();
        model->setStorage(settings);
        model->setFreeSpace(4096);
        model->setRecordCallback([this](int position, NX_RECORD_STATE state, int error) {
            std::lock_guard guard(lock);
            calls.append({position, int(state), error});
        });
        QObject::connect(model.get(), &WindowObject::recordEvent, [this](const QJsonObject &m) {
            startEvents.append(m["data"]["position"].toInt());
        });
        task = new TaskObject(model.get());
        thread.start();
        task->moveToThread(&thread);
        model->attachRecordThread(&thread);
    }
    ~Rig()
    {
        apply(true, false, false);
        thread.quit();
        thread.wait();
        delete task;
    }
    void apply(bool checked, bool standBy, bool recording)
    {
        QMetaObject::invokeMethod(task, "doRecordStatus", Qt::BlockingQueuedConnection,
                                  Q_ARG(bool, checked), Q_ARG(bool, standBy),
                                  Q_ARG(bool, recording));
    }
    // The record-set route: check, then the task thread (waited for here).
    bool set(bool standBy, bool recording)
    {
        QString message;
        const bool ok =
            model->checkRecord({{"isStandBy", standBy}, {"isRecording", recording}}, message);
        apply(ok, standBy, recording);
        return ok;
    }
    QList<int> started()
    {
        std::lock_guard guard(lock);
        QList<int> out = startEvents;
        for (const auto &[position, state, error] : calls)
            if (state == 1)
                out.append(position);
        std::sort(out.begin(), out.end());
        return out;
    }
    bool hasCall(int position, int state, int error)
    {
        std::lock_guard guard(lock);
        return calls.contains(std::make_tuple(position, state, error));
    }
    QJsonObject status(int position)
    {
        for (const QJsonValue &w : model->recordingStatus())
            if (w["position"].toInt() == position)
                return w.toObject();
        return {};
    }
    QString folder() const
    {
        return RecordNaming::folder(store.path(), "Default Project", QDate::currentDate());
    }
};

} // namespace

class TestRecordControl : public QObject
{
    Q_OBJECT

private slots:
    void protocolAndNames()
    {
        const auto e = RecorderProtocol::parseLine(
            R"(<recording no_frames="30" dropped_frames="2" bytes="x" note="a &amp; &quot;b&quot;"/>)");
        QCOMPARE(e.name, "recording");
        QCOMPARE(e.number("no_frames"), 30);
        QCOMPARE(e.number("bytes"), 0); // not a number
        QCOMPARE(e.value("note"), "a & \"b\"");
        for (const char *bad : {"", "text", "<>", "<a b=\"1/>", "<a b=1/>", "<a =\"1\"/>", "<a"})
            QVERIFY2(RecorderProtocol::parseLine(bad).name.isEmpty(), bad);
        QCOMPARE(RecorderProtocol::chopCommand("/r/a\"b&.mov"),
                 "<record_chop filename=\"/r/a&quot;b&amp;.mov\"/>\n");
        const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
        QCOMPARE(RecordNaming::folder("file:///rec/", "P/1", at.date()), "/rec/P_1-2026.03.04");
        QCOMPARE(RecordNaming::filePath("/rec/P-2026.03.04", "Cam/1", "yyyyMMdd-HH.mm.ss", at, 2),
                 "/rec/P-2026.03.04/Cam_1-20260304-05.06.07-2.mov");
    }

    void checksRefuseWithoutChange()
    {
        Rig rig(false);
        WindowObject &m = *rig.model;
        QString message;
        QVERIFY(!m.checkRecord({{"isStandBy", true}}, message)); // a key missing
        QVERIFY(!m.checkRecord({{"isStandBy", "yes"}, {"isRecording", true}}, message));
        QVERIFY(message.isEmpty());
        QVERIFY(m.checkRecord({{"isStandBy", "true"}, {"isRecording", 0}}, message)); // a form
        QVERIFY(m.isStandBy() && !m.isRecording());
        WindowObject empty;
        QVERIFY(!empty.checkRecord({{"isStandBy", true}, {"isRecording", true}}, message));
        QCOMPARE(message, QStringLiteral("当前没有可录像用的视频源，请先设置视频源！"));

        m.setFreeSpace(1024.0); // strictly above 1024 MiB is needed
        QVERIFY(!rig.set(true, true));
        QVERIFY(!m.isStandBy() && !m.isRecording());
        QVERIFY(rig.set(true, false)); // arming alone is not refused, but nothing is armed
        QVERIFY(!m.isStandBy());
        m.setFreeSpace(1024.5);
        QVERIFY(rig.set(true, false));
        QVERIFY(m.isStandBy() && !m.isRecording());
        // Windows 1 and 3 show sources: one task each; arming again rebuilds them.
        QVERIFY(rig.set(true, false));
        QCOMPARE(m.videoRecording()->taskCount(), 2);
        QVERIFY(m.videoRecording()->hasTask(1) && m.videoRecording()->hasTask(3));
        // A folder that does not exist refuses a start.
        StorageSettings gone = m.storage();
        gone.storePath = rig.store.path() + "/missing";
        m.setStorage(gone);
        QVERIFY(!rig.set(true, true));
        QVERIFY(!m.isStandBy() && !m.isRecording());
        QVERIFY(QDir(rig.store.path()).isEmpty());
    }

    void pluginItems()
    {
        Rig rig(true);
        QVERIFY(rig.model->hasRecorderPlugin());
        QVERIFY(!rig.model->videoRecording());
        QVERIFY(rig.set(true, false));
        const QJsonArray items = rig.model->recordList();
        QCOMPARE(items.size(), 2);
        const QJsonObject first = items[0]["recordset"].toObject();
        QCOMPARE(first["posID"].toInt(), 1);
        QCOMPARE(items[1]["recordset"]["posID"].toInt(), 3);
        QCOMPARE(items[0]["pullset"]["source"].toString(), "A");
        QCOMPARE(first["sourceName"].toString(), "Camera-1");
        QCOMPARE(first["splitSize"].toInt(), 1024);
        QCOMPARE(first["cfrmode"].toInt(), 1);
        QCOMPARE(first["local"].toArray(), QJsonArray{rig.store.path()});
        QVERIFY(rig.set(true, false)); // no "logic error": the stop before emptied the list
        QCOMPARE(rig.model->recordList().size(), 2);
    }

    void recordSplitAndStop_data()
    {
        QTest::addColumn<bool>("plugin");
        QTest::newRow("coordinator") << false;
        QTest::newRow("plug-in") << true;
    }
    void recordSplitAndStop()
    {
        QFETCH(bool, plugin);
        Rig rig(plugin);
        StorageSettings settings = rig.model->storage();
        settings.limitSize = 1; // MiB: a split about every 0.8 s
        rig.model->setStorage(settings);
        QVERIFY(rig.set(true, false));
        QVERIFY(rig.set(true, true));
        QVERIFY(rig.model->isRecording());
        QVERIFY(drtest::waitUntil([&] { return rig.started() == QList<int>{1, 3}; }, 5000));
        QVERIFY(drtest::waitUntil([&] { return rig.status(1)["files"].toInt() >= 3; }, 10000));
        const QJsonObject running = rig.status(3);
        QCOMPARE(running["state"].toString(), "recording");
        QVERIFY(running["frames"].toInt() > 0);
        QCOMPARE(running["dropped"].toInt(), 1);
        QVERIFY(running["file"].toString().startsWith(rig.folder() + "/Camera-3-"));

        QVERIFY(rig.set(true, false)); // stop and arm again: returns with the files closed
        QCOMPARE(rig.status(1)["state"].toString(), "stopped");
        const QStringList files =
            QDir(rig.folder()).entryList({"Camera-1-*.mov"}, QDir::Files, QDir::Name);
        QVERIFY2(files.size() >= 3, qPrintable(files.join(' ')));
        QVERIFY(files.first().endsWith("-1.mov"));
        // A second start begins again at file 1 and is reported again.
        {
            std::lock_guard guard(rig.lock);
            rig.calls.clear();
            rig.startEvents.clear();
        }
        QVERIFY(rig.set(true, true));
        QVERIFY(drtest::waitUntil([&] { return rig.started() == QList<int>{1, 3}; }, 5000));
        QCOMPARE(rig.status(1)["files"].toInt(), 1);
    }

    void faultsReportedOthersGoOn_data() { recordSplitAndStop_data(); }
    void faultsReportedOthersGoOn()
    {
        QFETCH(bool, plugin);
        Rig rig(plugin);
        rig.model->setSource(1, "disk-full");
        rig.model->setSource(2, "crash");
        QVERIFY(rig.set(true, false));
        QVERIFY(rig.set(true, true));
        QVERIFY(drtest::waitUntil([&] { return rig.hasCall(1, 0, -4) && rig.hasCall(2, 0, -1); },
                                  5000));
        QCOMPARE(rig.status(1)["error"].toString(), "disk_full");
        QCOMPARE(rig.status(2)["state"].toString(), "failed");
        QCOMPARE(rig.status(2)["error"].toString(), "crashed");
        QTest::qWait(500);
        QCOMPARE(rig.status(3)["state"].toString(), "recording");
        rig.apply(true, false, false); // destroy: window 3's file is closed
        QVERIFY(rig.status(3)["state"].toString() != "recording");
    }
};

QTEST_GUILESS_MAIN(TestRecordControl)
#include "tst_record_control.moc"
