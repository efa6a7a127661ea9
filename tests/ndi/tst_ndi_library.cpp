// NdiLibrary: version parsing, search order, refusal of old or incomplete runtimes, and the
// audio conversions of our own runtime called through the function table.
#include "NdiTestEnv.h"

#include <QTest>

#include <TestSupport.h>

#include <cmath>

class TestNdiLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(nditest::runtime(&error), qPrintable(error));
    }

    void parsesMajorVersions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("major");
        QTest::newRow("ours") << "desk-recorder-ndi 6.0.0 (runtime)" << 6;
        QTest::newRow("time before version") << "built 12:30:01 Jan 2 2024 6.1.2" << 6;
        QTest::newRow("last group wins") << "lib 2.1 api 5.5" << 5;
        QTest::newRow("no version") << "no number here 2024" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void parsesMajorVersions()
    {
        QFETCH(QString, text);
        QFETCH(int, major);
        QCOMPARE(NdiLibrary::parseMajorVersion(text.toStdString()), major);
    }

    // Float 1.0 is full scale at reference level 0 and 20 dB below it at 20.
    void audioConversionsKeepLevels()
    {
        const NdiFunctions &api = nditest::runtime()->api();
        const int samples = 4;
        float planar[2][samples] = {{1.0f, -1.0f, 0.5f, 0.0f}, {0.25f, 2.0f, -0.1f, 0.0f}};
        NDIlib_audio_frame_v2_t src;
        src.sample_rate = 48000;
        src.no_channels = 2;
        src.no_samples = samples;
        src.p_data = &planar[0][0];
        src.channel_stride_in_bytes = samples * 4;

        int16_t pcm[2 * samples] = {};
        NDIlib_audio_frame_interleaved_16s_t i16;
        i16.reference_level = 0;
        i16.p_data = pcm;
        api.util_audio_to_interleaved_16s_v2(&src, &i16);
        QCOMPARE(QList<int>({i16.no_samples, i16.no_channels}), QList<int>({samples, 2}));
        // Interleaved: ch0 s0 = 1.0, ch1 s0 = 0.25, ch0 s1 = -1.0, ch1 s1 = 2.0 clips.
        QCOMPARE(QList<int>({pcm[0], pcm[1], pcm[2], pcm[3]}),
                 QList<int>({32767, 8192, -32767, 32767}));
        i16.reference_level = 20;
        api.util_audio_to_interleaved_16s_v2(&src, &i16);
        QCOMPARE(int(pcm[0]), 3277); // 20 dB of headroom

        float back[2][samples] = {};
        NDIlib_audio_frame_v2_t dst;
        dst.p_data = &back[0][0];
        dst.channel_stride_in_bytes = samples * 4;
        api.util_audio_from_interleaved_16s_v2(&i16, &dst);
        QCOMPARE(dst.no_channels, 2);
        QVERIFY(std::fabs(back[0][0] - 1.0f) < 1e-3f && std::fabs(back[1][2] + 0.1f) < 1e-3f);

        float inter[2 * samples] = {};
        NDIlib_audio_frame_interleaved_32f_t f32;
        f32.p_data = inter;
        api.util_audio_to_interleaved_32f_v2(&src, &f32);
        QCOMPARE(QList<float>({inter[1], inter[3]}), QList<float>({0.25f, 2.0f})); // no clipping
        std::fill(&back[0][0], &back[0][0] + 2 * samples, 0.0f);
        api.util_audio_from_interleaved_32f_v2(&f32, &dst);
        QCOMPARE(QList<float>({back[1][1], back[0][2]}), QList<float>({2.0f, 0.5f}));
    }

    void refusesOldAndIncompleteRuntimes()
    {
        std::string why;
        QString old = drtest::buildDir() + "/tests/ndi-stub-old/libndi.so.6";
        QVERIFY(!NdiLibrary::loadFile(old.toStdString(), &why));
        QVERIFY2(QString::fromStdString(why).contains("4.5.0"), why.c_str());
        QString partial = drtest::buildDir() + "/tests/ndi-stub-partial/libndi.so.5";
        QVERIFY(!NdiLibrary::loadFile(partial.toStdString(), &why));
        QVERIFY2(QString::fromStdString(why).contains("NDIlib_recv_create_v3"), why.c_str());
        QVERIFY(!NdiLibrary::loadFile("/nonexistent/libndi.so.6", &why));
        QVERIFY(QString::fromStdString(why).contains("/nonexistent/libndi.so.6"));
    }

    // Installed runtimes come first; refused ones are skipped and our own is the last resort.
    void searchOrderFallsBackToOwnRuntime()
    {
        const QByteArray saved = qgetenv(NdiLibrary::kLibraryEnv);
        qunsetenv(NdiLibrary::kLibraryEnv);
        qputenv("NDI_RUNTIME_DIR_V6", (drtest::buildDir() + "/tests/ndi-stub-old").toLocal8Bit());
        qputenv("NDI_RUNTIME_DIR_V5",
                (drtest::buildDir() + "/tests/ndi-stub-partial").toLocal8Bit());
        auto list = NdiLibrary::candidates();
        QVERIFY(list.size() >= 5);
        const QString stubs = drtest::buildDir() + "/tests/ndi-stub-";
        QCOMPARE(QStringList({QString::fromStdString(list[0]), QString::fromStdString(list[1]),
                              QString::fromStdString(list[2]), QString::fromStdString(list[3])}),
                 QStringList({stubs + "old/libndi.so.6", stubs + "partial/libndi.so.5",
                              "libndi.so.6", "libndi.so.5"}));
        std::string why;
        auto lib = NdiLibrary::load(&why);
        QVERIFY2(lib, why.c_str());
        QVERIFY(lib->isOwnRuntime());

        // An explicit file is the only candidate, and its failure is reported as such.
        qputenv(NdiLibrary::kLibraryEnv, "/nonexistent/runtime.so");
        list = NdiLibrary::candidates();
        QCOMPARE(int(list.size()), 1);
        QVERIFY(!NdiLibrary::load(&why));
        QVERIFY(QString::fromStdString(why).contains("/nonexistent/runtime.so"));
        qunsetenv("NDI_RUNTIME_DIR_V6");
        qunsetenv("NDI_RUNTIME_DIR_V5");
        if (saved.isEmpty())
            qunsetenv(NdiLibrary::kLibraryEnv);
        else
            qputenv(NdiLibrary::kLibraryEnv, saved);
    }
};

QTEST_GUILESS_MAIN(TestNdiLibrary)
#include "tst_ndi_library.moc"
