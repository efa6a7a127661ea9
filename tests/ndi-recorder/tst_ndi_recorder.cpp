// The recorder as a real process recording real test sources to real files, read back with
// ffprobe/ffmpeg: every codec at two sizes, chops, a kill -9, a source that goes away and
// returns, a full disk, and bad input. Timing is never asserted: the frame counts are
// checked against the recorder's own counts, so a busy machine costs repeats, not failures
// (set DR_QUIET_MACHINE=1 to also require that nothing was dropped).
#include "RecorderTestSupport.h"
#include "TestPattern.h"

#include <QStandardPaths>
#include <QTest>
#include <csignal>
#include <unistd.h>

using namespace rectest;

class RecorderTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

    // Counts, duration, timecode track, picture and sound of one closed recording.
    void checkRecording(Recorder &rec, const QString &path, int width, int height,
                        const QString &tag)
    {
        const Probe p = probe(path);
        const long long written = rec.last("record_stopped", "no_frames").toLongLong();
        QCOMPARE(p.videoPackets(), int(written));
        QCOMPARE(p.video["width"].toInt(), width);
        QCOMPARE(p.video["height"].toInt(), height);
        QVERIFY2(QString("%1")
                     .arg(p.video["codec_tag_string"].toString())
                     .contains(QRegularExpression(tag)),
                 qPrintable(p.video["codec_tag_string"].toString()));
        // Every picture received is in the file, plus the repeats that filled empty slots,
        // minus late and refused ones, which the recorder counts as dropped.
        const long long received = rec.summary("received (\\d+)"),
                        dropped = rec.summary("dropped (\\d+)");
        const long long repeated = rec.summary("\\((\\d+) repeated");
        QVERIFY2(received > 0 && written == received - (dropped - repeated) + repeated,
                 qPrintable(rec.output()));
        if (qEnvironmentVariableIsSet("DR_QUIET_MACHINE"))
            QCOMPARE(dropped, 0LL);
        else if (dropped > 0)
            qInfo("%s: %lld of %lld pictures dropped (busy machine)", qPrintable(path), dropped,
                  written);
        // Duration matches the count at 29.97 fps.
        QVERIFY2(std::abs(p.videoSeconds() - written * 1001.0 / 30000) < 0.1,
                 qPrintable(QString::number(p.videoSeconds())));
        QCOMPARE(p.timecode["codec_tag_string"].toString(), QString("tmcd"));
        QVERIFY(timecodeFrames(p.startTimecode()) >= 0);
        QCOMPARE(p.audio["codec_tag_string"].toString(), QString("in24"));
        QCOMPARE(p.audio["channels"].toInt(), 2);
        QCOMPARE(p.audio["sample_rate"].toString(), QString("48000"));

        // A decoded picture carries the bars and is the source picture within 40 dB PSNR.
        const QByteArray uyvy = uyvyFrame(path, 10);
        QCOMPARE(uyvy.size(), qsizetype(width) * height * 2);
        const auto *pixels = reinterpret_cast<const uint8_t *>(uyvy.constData());
        QVERIFY(TestPattern::checkBars(pixels, width, height, 0, 6));
        const int64_t counter = TestPattern::readCounter(pixels, width, height, 0);
        QVERIFY(counter >= 0);
        TestPattern source(width, height);
        source.draw(counter);
        double squares = 0;
        for (qsizetype i = 1; i < uyvy.size(); i += 2) { // luma bytes
            const double d = double(pixels[i]) - double(source.data()[i]);
            squares += d * d;
        }
        const double mse = squares / (double(width) * height);
        const double psnr = mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
        qInfo("%s: %lld pictures, %.2f s, PSNR %.1f dB", qPrintable(path), written,
              p.videoSeconds(), psnr);
        QVERIFY2(psnr >= 40, qPrintable(QString::number(psnr)));

        double peakDb = 0, hz = 0;
        toneOf(path, 0, p.videoSeconds(), &peakDb, &hz); // a starved sender leaves gaps
        QVERIFY2(std::abs(peakDb + 20) <= 0.5, qPrintable(QString::number(peakDb)));
        QVERIFY2(std::abs(hz - 1000) <= 5, qPrintable(QString::number(hz)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(recorderPath()));
        QVERIFY2(!run("ffprobe", {"-version"}).isEmpty(), "ffprobe (Debian ffmpeg) is needed");
    }

    // Each size records with the three codecs at once from one source, for about 5 s.
    void codecsAndSizes_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1080p") << 1920 << 1080;
        QTest::newRow("360p") << 640 << 360;
    }
    void codecsAndSizes()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        drtest::ChildProcess source;
        const QString name = uniqueName("Codecs");
        QVERIFY(startSource(source, name, QString("%1x%2").arg(width).arg(height)));
        const QStringList codecs = {"h264", "speedhq", "utvideo"};
        const QStringList tags = {"avc1", "SHQ2", "UL[HY]2"};
        Recorder recs[3];
        for (int i = 0; i < 3; ++i)
            QVERIFY(recs[i].start({"-i", name, "-o",
                                   file(QString("%1-%2.mov").arg(codecs[i]).arg(height)), "-codec",
                                   codecs[i], "-timeout", "10"}));
        for (Recorder &r : recs)
            QVERIFY2(r.waitForOutput("<record_started", 15000), qPrintable(r.output()));
        QTest::qWait(5000);
        for (Recorder &r : recs) // all stop at once
            r.process().closeWriteChannel();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(recs[i].finish(), 0);
            QVERIFY(recs[i].output().contains("<recording no_frames="));
            checkRecording(recs[i], recs[i].last("record_stopped", "filename"), width, height,
                           tags[i]);
        }
    }

    // Two chops give three files whose counts add up and whose timecodes continue; junk on
    // standard input and a chop to a path that cannot be written change nothing.
    void chopsAndBadInput()
    {
        drtest::ChildProcess source;
        const QString name = uniqueName("Chop");
        QVERIFY(startSource(source, name, "640x360"));
        Recorder rec;
        QVERIFY(rec.start({"-i", name, "-o", file("chop-1.mov"), "-noautostart"}));
        QVERIFY(rec.waitForOutput("receiving", 15000));
        rec.send("<bogus/>");
        rec.send("<record_chop filename=\"unclosed.mov\"");
        rec.send("<start extra=\"1\"/>");
        rec.send(QByteArray(20000, 'x'));
        QVERIFY(rec.waitForOutput("input line longer", 5000));
        QCOMPARE(rec.output().count("code=\"bad_input\""), 4);
        QVERIFY(!rec.output().contains("<record_started"));
        rec.send("<start/>");
        QVERIFY(rec.waitForOutput("<record_started", 10000));
        QTest::qWait(1500);
        rec.send("<record_chop filename='" + file("chop-2.mov").toUtf8() + "'/>");
        QVERIFY(rec.waitForOutput("chop-2.mov\"/>", 5000));
        QTest::qWait(1500);
        rec.send("<record_chop filename=\"/proc/no/such/place.mov\"/>");
        QVERIFY(rec.waitForOutput("code=\"cannot_write\"", 5000));
        rec.send("<record_chop filename=\"" + file("chop-3.mov").toUtf8() + "\"/>");
        QVERIFY(rec.waitForOutput("chop-3.mov\"/>", 5000));
        QTest::qWait(1500);
        rec.send("<exit/>");
        QCOMPARE(rec.finish(), 0);

        long long total = 0, nextTimecode = -1;
        for (const char *part : {"chop-1.mov", "chop-2.mov", "chop-3.mov"}) {
            const Probe p = probe(file(part));
            QVERIFY2(p.videoPackets() > 10, part);
            const long long tc = timecodeFrames(p.startTimecode());
            if (nextTimecode >= 0)
                QCOMPARE(tc, nextTimecode);
            nextTimecode = tc + p.videoPackets();
            total += p.videoPackets();
            // Sound ends where the pictures end, within a frame.
            QVERIFY2(std::abs(p.audio["duration"].toString().toDouble() - p.videoSeconds()) < 0.05,
                     part);
        }
        QCOMPARE(total, rec.last("record_stopped", "no_frames").toLongLong());
    }

    void badCommandLinesAndMissingSource()
    {
        for (const QStringList &args :
             {QStringList{"-o", "x.mov"}, QStringList{"-i", "s", "-o", "x.mov", "-codec", "vp9"},
              QStringList{"-i", "s", "-o", "x.mov", "-max-queue-mib", "-5"},
              QStringList{"-i", "s", "-o", "x.mov", "-split-time", "0.2"},
              QStringList{"-i", "s", "-o", "x.mov", "-cfr", "2"},
              QStringList{"-i", "s", "-o", "x.mov", "-timeout"}, QStringList{"-what"}}) {
            Recorder rec;
            QVERIFY(rec.start(args));
            QCOMPARE(rec.finish(), 2);
            QVERIFY2(rec.output().contains("Usage: ndi-recorder"), qPrintable(args.join(' ')));
        }
        Recorder rec;
        QVERIFY(rec.start({"-i", uniqueName("Nobody"), "-o", file("none.mov"), "-timeout", "1"}));
        QVERIFY(drtest::waitUntil([&] { return !rec.isRunning(); }, 15000));
        QCOMPARE(rec.process().exitCode(), 3);
        QVERIFY(rec.output().contains("code=\"no_source\""));
        QVERIFY(!QFile::exists(file("none.mov")));
    }

    // A recorder whose parent dies ends too (its standard input is still open here).
    void endsWithItsParent()
    {
        drtest::ChildProcess shell;
        QVERIFY(shell.start("sh",
                            {"-c", "\"$0\" -i nobody -o \"$1\" -timeout 0 & echo pid=$!; sleep 1",
                             recorderPath(), file("orphan.mov")},
                            isolatedRuntimeEnv()));
        QVERIFY(shell.waitForOutput("pid=", 5000));
        const pid_t pid = pid_t(shell.output().section("pid=", 1).section('\n', 0, 0).toInt());
        QVERIFY(pid > 0);
        const auto gone = [pid] {
            QFile stat(QString("/proc/%1/stat").arg(pid));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        const bool ended = drtest::waitUntil(gone, 10000);
        if (!ended)
            ::kill(pid, SIGKILL); // ours: started by this test through the shell
        QVERIFY(ended);
    }

    // kill -9 after 3 s: the file still plays at least 2 s.
    void killedRecordingPlays()
    {
        drtest::ChildProcess source;
        const QString name = uniqueName("Kill");
        QVERIFY(startSource(source, name, "640x360"));
        Recorder rec;
        QVERIFY(rec.start({"-i", name, "-o", file("killed.mov")}));
        QVERIFY(rec.waitForOutput("<record_started", 15000));
        QTest::qWait(3000);
        // 3 s of pictures encoded (a busy machine may lag behind the clock), then kill -9.
        QVERIFY(drtest::waitUntil([&] { return rec.last("recording", "no_frames").toInt() >= 90; },
                                  30000));
        rec.kill();
        const int frames = decodedFrames(file("killed.mov"));
        qInfo("killed after 3 s: %d pictures decode", frames);
        QVERIFY2(frames >= 60, qPrintable(QString::number(frames)));
    }

    // The source goes away and returns: the recorder waits, reports the gap, and the file
    // keeps wall-clock duration with the gap filled by repeats.
    void sourceRestart()
    {
        const QString name = uniqueName("Restart");
        drtest::ChildProcess source;
        QVERIFY(startSource(source, name, "640x360"));
        Recorder rec;
        QVERIFY(rec.start({"-i", name, "-o", file("restart.mov")}));
        QVERIFY(rec.waitForOutput("<record_started", 15000));
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(1500);
        source.kill();
        QVERIFY(rec.waitForOutput("the source is gone", 10000));
        QVERIFY(startSource(source, name, "640x360"));
        QVERIFY2(rec.waitForOutput("the source is back", 15000), qPrintable(rec.output()));
        QTest::qWait(1500);
        QVERIFY(rec.isRunning());
        QCOMPARE(rec.finish(), 0);
        const double wallS = clock.elapsed() / 1000.0;
        const Probe p = probe(file("restart.mov"));
        QVERIFY(rec.summary("dropped (\\d+)") > 0);
        QVERIFY2(p.videoSeconds() > wallS - 1.5 && p.videoSeconds() < wallS + 0.5,
                 qPrintable(QString("%1 s for %2 s").arg(p.videoSeconds()).arg(wallS)));
        QCOMPARE(p.videoPackets(), rec.last("record_stopped", "no_frames").toInt());
    }

    // A full disk (a small tmpfs in a mount namespace of the recorder's own): disk_full,
    // exit code 4, and the file kept playable.
    void fullDisk()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
            QSKIP("a private mount namespace needs root and unshare");
        drtest::ChildProcess source;
        const QString name = uniqueName("Full");
        QVERIFY(startSource(source, name, "640x360"));
        QDir().mkpath(file("tmpfs"));
        // The tmpfs lives as long as the namespace: the script copies the file out.
        const QString script = "mount -t tmpfs -o size=4m tmpfs \"$1\" || exit 99; d=\"$1\"; "
                               "o=\"$2\"; shift 2; \"$@\"; rc=$?; cp \"$d\"/*.mov \"$o\"/; "
                               "exit $rc";
        Recorder rec;
        QVERIFY(rec.start({"-i", name, "-o", file("tmpfs/full.mov"), "-codec", "utvideo"},
                          "unshare",
                          {"--mount", "--propagation", "private", "sh", "-c", script, "sh",
                           file("tmpfs"), m_dir.path()}));
        QVERIFY(drtest::waitUntil([&] { return !rec.isRunning(); }, 30000));
        if (rec.process().exitCode() == 99)
            QSKIP("mounting a tmpfs in a mount namespace is not permitted here");
        QCOMPARE(rec.process().exitCode(), 4);
        QVERIFY2(rec.output().contains("code=\"disk_full\""), qPrintable(rec.output()));
        QVERIFY(rec.output().contains("<record_stopped"));
        const int frames = decodedFrames(file("full.mov"));
        qInfo("full disk: %d pictures decode", frames);
        QVERIFY(frames > 0);
    }
};

QTEST_GUILESS_MAIN(RecorderTest)
#include "tst_ndi_recorder.moc"
