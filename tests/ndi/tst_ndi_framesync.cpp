// The frame synchroniser's promises: captures return at once; video is the latest frame,
// repeated, bunched arrivals handed out in order at most one behind, and an all-zero frame
// before the first; audio is exactly the requested samples, rate and channels, silence where
// data is short, and its queue stays bounded; it outlives a receiver destroyed first.
#include "NdiTestEnv.h"

#include <TestSupport.h>

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <cmath>
#include <cstring>

using namespace nditest;

namespace {

struct Pair
{
    NdiSender send;
    NdiReceiver recv;
    NdiFrameSync sync;
};

Pair connectedPair(const char *prefix)
{
    Pair p;
    p.send = makeSender(uniqueName(prefix));
    NDIlib_recv_create_v3_t r;
    r.source_to_connect_to = *lib()->send_get_source_name(p.send.get());
    r.color_format = NDIlib_recv_color_format_fastest;
    p.recv = makeNdiReceiver(lib(), &r);
    p.sync = makeNdiFrameSync(lib(), p.recv.get());
    waitConnected(p.recv.get());
    return p;
}

// Sends one 160x90 picture whose first byte is `base`.
void sendPicture(NDIlib_send_instance_t send, uint8_t base)
{
    auto pixels = uyvyFrame(160, 90, base);
    NDIlib_video_frame_v2_t f;
    f.xres = 160;
    f.yres = 90;
    f.p_data = pixels.data();
    lib()->send_send_video_v2(send, &f);
}

// Sends `ms` milliseconds of a 1 kHz sine of amplitude 0.5, mono, at `rate`, in 10 ms blocks.
void sendTone(NDIlib_send_instance_t send, int rate, int ms, double *phase)
{
    const int block = rate / 100;
    std::vector<float> data(static_cast<size_t>(block));
    for (int b = 0; b < ms / 10; ++b) {
        for (int i = 0; i < block; ++i) {
            data[size_t(i)] = float(0.5 * std::sin(*phase));
            *phase += 2 * M_PI * 1000 / rate;
        }
        NDIlib_audio_frame_v2_t f;
        f.sample_rate = rate;
        f.no_channels = 1;
        f.no_samples = block;
        f.p_data = data.data();
        f.channel_stride_in_bytes = block * 4;
        lib()->send_send_audio_v2(send, &f);
    }
}

double rms(const float *p, int n)
{
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += double(p[i]) * p[i];
    return std::sqrt(sum / n);
}

} // namespace

class TestNdiFrameSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(runtime(&error), qPrintable(error));
    }

    // Before the first frame an all-zero one. Frames that arrive bunched (jitter, or a capture
    // that came late) are handed out one per capture in order, at most one behind the newest
    // (older ones are dropped), and the newest is repeated while nothing new comes.
    void videoIsLatestFramesInOrderThenRepeated()
    {
        Pair p = connectedPair("Sync Video");
        QVERIFY(p.sync);
        NDIlib_video_frame_v2_t v, held;
        lib()->framesync_capture_video(p.sync.get(), &v, NDIlib_frame_format_type_progressive);
        NDIlib_video_frame_v2_t zero;
        std::memset(static_cast<void *>(&zero), 0, sizeof zero);
        QVERIFY(std::memcmp(&v, &zero, sizeof v) == 0);
        lib()->framesync_free_video(p.sync.get(), &v);

        // One at a time, each received before the next is sent (the sender itself drops
        // the older of two frames queued for a slow link).
        int64_t received = 0;
        for (uint8_t base : {70, 80, 90}) {
            sendPicture(p.send.get(), base);
            NDIlib_recv_performance_t total;
            drtest::waitUntil(
                [&] {
                    lib()->recv_get_performance(p.recv.get(), &total, nullptr);
                    return total.video_frames > received;
                },
                5000);
            QCOMPARE(total.video_frames, ++received);
        }
        for (uint8_t expected : {80, 90}) {
            lib()->framesync_capture_video(p.sync.get(), &held,
                                           NDIlib_frame_format_type_progressive);
            QVERIFY(held.p_data);
            QCOMPARE(held.p_data[0], expected);
            if (expected == 80)
                lib()->framesync_free_video(p.sync.get(), &held);
        }
        // Asked again with nothing new: the same picture, while the last one is still held.
        lib()->framesync_capture_video(p.sync.get(), &v, NDIlib_frame_format_type_progressive);
        QCOMPARE(v.xres, 160);
        QVERIFY(std::memcmp(v.p_data, held.p_data, 160 * 90 * 2) == 0);
        lib()->framesync_free_video(p.sync.get(), &v);
        lib()->framesync_free_video(p.sync.get(), &held);

        // Bound to a frame synchroniser, the receiver no longer hands out video itself.
        QCOMPARE(lib()->recv_capture_v2(p.recv.get(), &v, nullptr, nullptr, 200),
                 NDIlib_frame_type_none);
    }

    void audioHasExactShapeAndFollowsTone()
    {
        Pair p = connectedPair("Sync Audio");
        // Nothing received yet: exact shape, silence.
        NDIlib_audio_frame_v2_t a;
        lib()->framesync_capture_audio(p.sync.get(), &a, 48000, 2, 960);
        QCOMPARE(QList<int>({a.sample_rate, a.no_channels, a.no_samples}),
                 QList<int>({48000, 2, 960}));
        QVERIFY(a.p_data);
        QCOMPARE(rms(a.p_data, 960 * 2), 0.0);
        lib()->framesync_free_audio(p.sync.get(), &a);

        // Mono 44.1 kHz in, stereo 48 kHz out: resampled, the tone on both channels.
        double phase = 0;
        sendTone(p.send.get(), 44100, 400, &phase);
        QElapsedTimer t;
        t.start();
        double level0 = 0, level1 = 0;
        while (t.elapsed() < 5000 && level0 < 0.3) {
            lib()->framesync_capture_audio(p.sync.get(), &a, 48000, 2, 960);
            const float *ch1 = reinterpret_cast<const float *>(
                reinterpret_cast<const uint8_t *>(a.p_data) + a.channel_stride_in_bytes);
            level0 = rms(a.p_data, 960);
            level1 = rms(ch1, 960);
            lib()->framesync_free_audio(p.sync.get(), &a);
            QThread::msleep(5);
        }
        // A 0.5 sine has an RMS of 0.354.
        QVERIFY2(level0 > 0.3 && level0 < 0.4, qPrintable(QString::number(level0)));
        QVERIFY2(std::fabs(level1 - level0) < 0.02, qPrintable(QString::number(level1)));

        // Once the data runs out: still exactly 960 samples, and silence.
        QElapsedTimer drain;
        drain.start();
        double last = 1;
        while (drain.elapsed() < 5000 && last > 0) {
            lib()->framesync_capture_audio(p.sync.get(), &a, 48000, 2, 960);
            QCOMPARE(a.no_samples, 960);
            last = rms(a.p_data, 960 * 2);
            lib()->framesync_free_audio(p.sync.get(), &a);
        }
        QCOMPARE(last, 0.0);
    }

    // Destroyed in the wrong order (receiver first), the frame synchroniser still answers
    // and goes without touching the receiver.
    void survivesReceiverDestroyedFirst()
    {
        Pair p = connectedPair("Sync Order");
        NDIlib_framesync_instance_t sync = p.sync.release();
        p.recv.reset();
        NDIlib_video_frame_v2_t v;
        lib()->framesync_capture_video(sync, &v, NDIlib_frame_format_type_progressive);
        QVERIFY(!v.p_data);
        NDIlib_audio_frame_v2_t a;
        lib()->framesync_capture_audio(sync, &a, 48000, 2, 960);
        QCOMPARE(a.no_samples, 960);
        lib()->framesync_free_audio(sync, &a);
        lib()->framesync_destroy(sync);
    }

    // A source far ahead of the caller's clock cannot make the queue grow without bound.
    void audioQueueStaysBounded()
    {
        Pair p = connectedPair("Sync Drift");
        double phase = 0;
        sendTone(p.send.get(), 48000, 4000, &phase);
        QElapsedTimer t;
        t.start();
        int depth = 0, peak = 0;
        while (t.elapsed() < 1500) {
            depth = lib()->framesync_audio_queue_depth(p.sync.get());
            peak = std::max(peak, depth);
            QThread::msleep(20);
        }
        QVERIFY(peak > 0);
        QVERIFY2(peak <= 48000 + 480, qPrintable(QString::number(peak)));
        // The next capture brings the queue back near its target.
        NDIlib_audio_frame_v2_t a;
        lib()->framesync_capture_audio(p.sync.get(), &a, 48000, 2, 960);
        QCOMPARE(a.no_samples, 960);
        QVERIFY(rms(a.p_data, 960) > 0.3);
        lib()->framesync_free_audio(p.sync.get(), &a);
        QVERIFY(lib()->framesync_audio_queue_depth(p.sync.get()) < 48000 / 2);
    }
};

QTEST_GUILESS_MAIN(TestNdiFrameSync)
#include "tst_ndi_framesync.moc"
