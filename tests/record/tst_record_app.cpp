// The application recording real test sources with the real recording program, headless,
// with its own data and store folders and free ports: two windows of a four-window layout,
// the coordinator when the plug-in is missing, kill -9 of the application mid-recording,
// and (root only, on tmpfs mounts in this test's own mount namespace) the free-space
// refusal and a disk that fills while recording. (Splitting: tst_record_control and
// tst_ndi_recorder.)
#include "../ndi-recorder/RecorderTestSupport.h"
#include "../sysinfo/TmpfsMount.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>
#include <sched.h>
#include <sys/mount.h>

namespace {

bool g_privateMounts = false; // main() moved this process into its own mount namespace

QStringList movFiles(const QString &folder, const QString &window)
{
    QStringList out;
    QDirIterator it(folder, {window + "-*.mov"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    out.sort();
    return out;
}

} // namespace

class TestRecordApp : public QObject
{
    Q_OBJECT

    drtest::ChildProcess m_sources;
    const QString m_tagA = drtest::uniqueName("RecA"), m_tagB = drtest::uniqueName("RecB");
    QString m_nameA, m_nameB;

    // The full name of the listed source whose name contains `part`.
    static QString listed(drtest::AppInstance &app, const QString &part)
    {
        for (const QJsonValue &v : app.get("/api/source/get.json").json()["data"].toArray())
            if (v["name"].toString().contains(part))
                return v["name"].toString();
        return {};
    }

    // The application started with sources in windows 1 and 3 of four, recording into
    // `storePath`, with an event client listening.
    bool setUp(drtest::AppInstance &app, drtest::EventClient &events, const QString &storePath,
               const QProcessEnvironment &extra = {})
    {
        QProcessEnvironment env = drtest::isolatedRuntimeEnv();
        for (const QString &key : extra.keys())
            env.insert(key, extra.value(key));
        if (!app.start({}, env) || !events.open(app.wsUrl()))
            return false;
        if (!drtest::waitUntil(
                [&] {
                    m_nameA = listed(app, m_tagA);
                    m_nameB = listed(app, m_tagB);
                    return !m_nameA.isEmpty() && !m_nameB.isEmpty();
                },
                15000))
            return false;
        app.post("/api/output/setLayout.json", {{"layout_id", 2}, {"layout_number", 4}});
        app.post("/api/output/setSource.json",
                 {{"type", "source"}, {"position", 1}, {"stream_id", m_nameA}});
        app.post("/api/output/setSource.json",
                 {{"type", "source"}, {"position", 3}, {"stream_id", m_nameB}});
        return app.post("/api/storage/set.json", {{"storePath", storePath}}).json()["result"] ==
               "ok";
    }
    static QJsonObject record(drtest::AppInstance &app, bool standBy, bool recording)
    {
        return app
            .post("/api/record/set.json", {{"isStandBy", standBy}, {"isRecording", recording}})
            .json();
    }
    // Armed, then recording, until both windows reported their start.
    static bool startBoth(drtest::AppInstance &app, drtest::EventClient &events)
    {
        events.clear();
        if (record(app, true, false)["result"] != "ok" || record(app, true, true)["result"] != "ok")
            return false;
        return drtest::waitUntil(
            [&] {
                QSet<int> started;
                for (const QJsonObject &m : events.messages())
                    if (m["name"] == "record/start")
                        started << m["data"]["position"].toInt();
                return started == QSet<int>{1, 3};
            },
            15000);
    }
    static QJsonObject recordData(drtest::AppInstance &app)
    {
        return app.get("/api/record/get.json").json().value("data").toObject();
    }
    static QJsonObject windowStatus(drtest::AppInstance &app, int position)
    {
        for (const QJsonValue &w : recordData(app)["windows"].toArray())
            if (w["position"].toInt() == position)
                return w.toObject();
        return {};
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo::exists(drtest::buildDir() + "/res/bin/record/ndi-recorder"),
                 "the recording program is not built");
        QVERIFY(m_sources.start(drtest::buildDir() + "/ndi-testsrc",
                                {"--name", m_tagA, "--name", m_tagB, "--resolution", "640x360",
                                 "--fps", "30", "--seconds", "600"},
                                drtest::isolatedRuntimeEnv()));
        QVERIFY(m_sources.waitForOutput("started ", 10000));
    }
    void cleanupTestCase() { m_sources.stop(); }

    void recordsTwoWindows()
    {
        QTemporaryDir store;
        drtest::AppInstance app;
        drtest::EventClient events;
        QVERIFY(setUp(app, events, store.path()));
        QVERIFY(startBoth(app, events));
        QElapsedTimer wall; // the files hold at least what passed from here to the stop
        wall.start();
        QTest::qWait(2500);
        const QJsonObject midway = windowStatus(app, 3);
        QCOMPARE(midway["state"].toString(), "recording");
        QVERIFY(midway["elapsed"].toDouble() >= 1.5);
        QVERIFY(midway["frames"].toInt() > 0);
        QVERIFY(midway["file"].toString().contains("/Default Project-"));
        QCOMPARE(recordData(app)["isRecording"], true);
        QTest::qWait(2500);
        QCOMPARE(windowStatus(app, 1)["state"].toString(), "recording");
        QCOMPARE(record(app, false, false)["result"], "ok");
        const double recordedS = wall.elapsed() / 1000.0;
        QVERIFY(
            drtest::waitUntil([&] { return windowStatus(app, 1)["state"] == "stopped"; }, 15000));
        for (const QString window : {"Camera-1", "Camera-3"}) {
            const QStringList files = movFiles(store.path(), window);
            QCOMPARE(files.size(), 1);
            QVERIFY2(QRegularExpression("/Default Project-\\d{4}\\.\\d\\d\\.\\d\\d/" + window +
                                        "-\\d{8}-\\d\\d\\.\\d\\d\\.\\d\\d-1\\.mov$")
                         .match(files[0])
                         .hasMatch(),
                     qPrintable(files[0]));
            const double seconds = rectest::probe(files[0]).videoSeconds();
            QVERIFY2(
                seconds > recordedS - 1.0 && seconds < recordedS + 3.0,
                qPrintable(QString("%1 s in the file, %2 s recorded").arg(seconds).arg(recordedS)));
        }
        QVERIFY(movFiles(store.path(), "Camera-2").isEmpty());

        QCOMPARE(app.stop(), 0);
    }

    void coordinatorRecordsWithoutPlugIn()
    {
        QTemporaryDir store;
        drtest::AppInstance app;
        drtest::EventClient events;
        QProcessEnvironment env;
        env.insert("DESK_RECORDER_RECORDER_PLUGIN", "/nonexistent/librecorder.so");
        QVERIFY(setUp(app, events, store.path(), env));
        QVERIFY(drtest::readLogs(app.dataDir()).contains("loadPlugin recorder fail"));
        QVERIFY(startBoth(app, events));
        QTest::qWait(3000);
        QCOMPARE(record(app, false, false)["result"], "ok");
        QVERIFY(drtest::waitUntil([&] { return recordData(app)["windows"].toArray().isEmpty(); },
                                  15000));
        for (const QString window : {"Camera-1", "Camera-3"}) {
            const QStringList files = movFiles(store.path(), window);
            QCOMPARE(files.size(), 1);
            QVERIFY(rectest::probe(files[0]).videoSeconds() > 2);
        }

        // The store folder removed while recording: the disk query the web UI polls stops
        // recording with "storePath/error" and forgets the folder.
        QTemporaryDir doomed;
        app.post("/api/storage/set.json", {{"storePath", doomed.path()}});
        QVERIFY(startBoth(app, events));
        QVERIFY(doomed.remove());
        QCOMPARE(app.get("/api/storage/getDeviceList.json").json()["result"], "error");
        QVERIFY(events.waitFor([](const QJsonObject &m) { return m["name"] == "storePath/error"; },
                               5000));
        QCOMPARE(recordData(app)["isRecording"], false);
        QCOMPARE(app.get("/api/storage/get.json").json().value("data")["storePath"], "");
        QCOMPARE(app.stop(), 0); // closing stops and closes the recordings
    }

    void killedApplicationLeavesNoRecorder()
    {
        QTemporaryDir store;
        drtest::AppInstance app;
        drtest::EventClient events;
        QVERIFY(setUp(app, events, store.path()));
        QVERIFY(startBoth(app, events));
        const QList<qint64> recorders = drtest::childPids(app.process().pid(), "ndi-recorder");
        QCOMPARE(recorders.size(), 2);
        QTest::qWait(3500);
        app.kill();
        QVERIFY2(drtest::waitUntil(
                     [&] {
                         for (qint64 pid : recorders)
                             if (QFileInfo::exists(QString("/proc/%1").arg(pid)))
                                 return false;
                         return true;
                     },
                     15000),
                 "a recording program outlived the application");
        for (const QString window : {"Camera-1", "Camera-3"}) {
            const QStringList files = movFiles(store.path(), window);
            QCOMPARE(files.size(), 1);
            QVERIFY(rectest::decodedFrames(files[0]) >= 60); // 2 s at 30 fps
        }
    }

    void smallDiskRefusedFullDiskStops()
    {
        if (!g_privateMounts)
            QSKIP("needs root and a private mount namespace for its tmpfs mounts");
        TmpfsMount small(16);
        TmpfsMount large(1100);
        QVERIFY2(small.reason.isEmpty() && large.reason.isEmpty(), qPrintable(small.reason));
        drtest::AppInstance app;
        drtest::EventClient events;
        QVERIFY(setUp(app, events, small.path));
        const QJsonObject refused = record(app, true, true);
        QCOMPARE(refused["result"], "error");
        QCOMPARE(recordData(app)["isRecording"], false);
        QVERIFY(QDir(small.path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));

        QCOMPARE(app.post("/api/storage/set.json", {{"storePath", large.path}}).json()["result"],
                 "ok");
        QVERIFY(startBoth(app, events));
        QTest::qWait(1500);
        // The disk shrinks to what is used and a little more: it fills within a second.
        const qint64 usedMiB = (1100LL * 1024 * 1024 - large.freeNow()) / (1024 * 1024);
        QCOMPARE(QProcess::execute(
                     "mount", {"-o", QString("remount,size=%1m").arg(usedMiB + 2), large.path}),
                 0);
        QVERIFY(
            events.waitFor([](const QJsonObject &m) { return m["name"] == "record/over"; }, 20000));
        QVERIFY(drtest::waitUntil(
            [&] {
                return windowStatus(app, 1)["state"] != "recording" &&
                       windowStatus(app, 3)["state"] != "recording";
            },
            15000));
        QCOMPARE(app.stop(), 0);
        for (const QString window : {"Camera-1", "Camera-3"}) {
            const QStringList files = movFiles(large.path, window);
            QVERIFY(!files.isEmpty());
            QVERIFY2(rectest::decodedFrames(files[0]) > 0, qPrintable(files[0]));
        }
    }
};

int main(int argc, char **argv)
{
    // A private mount namespace before any thread exists: the tmpfs mounts of this test and
    // of the programs it starts are seen by nobody else and vanish with them.
    if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        g_privateMounts = true;
    QCoreApplication app(argc, argv);
    TestRecordApp test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_record_app.moc"
