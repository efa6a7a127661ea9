// A media connection over an in-process fake receiver: the test decides per bandwidth
// whether video arrives, at which frame rate, and the level of the audio; the fake counts
// receivers, frees and tally sends. All knobs are atomics: the connection's threads read them.
#pragma once

#include "media/MediaConnection.h"
#include "media/MediaReaper.h"

#include <QThread>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <vector>

struct FakeCounters
{
    std::atomic<int> created[3] = {0, 0, 0};   // receivers made, by bandwidth 1/2
    std::atomic<int> destroyed[3] = {0, 0, 0}; // receivers destroyed
    std::atomic<int> videoFreed{0};            // frames handed back
    std::atomic<QThread *> destroyThread{nullptr};
    std::mutex lock;                // guards tally
    QList<QPair<bool, bool>> tally; // (preview, program) as sent
};

class FakeInstance : public MediaInstance_t
{
public:
    FakeInstance(int bw, FakeCounters *counters) : bandwidth(bw), m_counters(counters)
    {
        pixels.resize(bw == 1 ? 1920 * 1080 * 2 : 640 * 360 * 2, 0x80);
    }
    ~FakeInstance() override
    {
        m_counters->destroyThread = QThread::currentThread();
        ++m_counters->destroyed[bandwidth];
    }
    void freeVideo(Media_video_frame_t *frame) override
    {
        if (frame->p_data == pixels.data())
            ++m_counters->videoFreed;
    }

    const int bandwidth;
    std::vector<uint8_t> pixels;
    FakeCounters *m_counters;
};

class FakeReceiverConnection : public MediaConnection
{
public:
    explicit FakeReceiverConnection(FakeCounters *shared) : counters(shared) {}
    ~FakeReceiverConnection() override { shutdown(); }

    FakeCounters *counters;
    std::atomic<bool> delivers[3] = {true, true, true}; // video with data, by bandwidth
    std::atomic<int> rateN{30000};
    std::atomic<int> rateD{1001};
    std::atomic<double> amplitude{0.5}; // peak of the audio sine, 1.0 = full scale

protected:
    MediaInstancePtr createInstance(int bw, const QString &, const QString &address) override
    {
        if (address.isEmpty())
            return {};
        ++counters->created[bw];
        return MediaReaper::makeShared<MediaInstance_t>(new FakeInstance(bw, counters));
    }
    int checkConnection(const MediaInstancePtr &i) override { return i ? Connected : NoReceiver; }
    VideoFramePtr captureVideo(const MediaInstancePtr &instance, bool onlySticky) override
    {
        auto *fake = dynamic_cast<FakeInstance *>(instance.get());
        if (!fake)
            return {};
        auto wrapper = std::make_shared<MediaFrameWrapper<>>(instance);
        if (!onlySticky && delivers[fake->bandwidth]) {
            Media_video_frame_t &f = wrapper->frame;
            f.xres = fake->bandwidth == 1 ? 1920 : 640;
            f.yres = fake->bandwidth == 1 ? 1080 : 360;
            f.frame_rate_N = rateN;
            f.frame_rate_D = rateD;
            f.line_stride_in_bytes = f.xres * 2;
            f.p_data = fake->pixels.data();
        }
        return wrapper;
    }
    AudioFramePtr captureAudio(const MediaInstancePtr &instance, bool onlySticky,
                               int samples) override
    {
        if (!instance)
            return {};
        auto wrapper = std::make_shared<AudioFrameWrapper<>>();
        if (onlySticky)
            return wrapper;
        Media_audio_frame_t &f = wrapper->frame;
        f.no_samples = samples;
        f.p_data = static_cast<float *>(std::malloc(sizeof(float) * 2 * samples));
        f.p_data_16s = static_cast<int16_t *>(std::malloc(sizeof(int16_t) * 2 * samples));
        const double a = amplitude;
        for (int i = 0; i < samples; ++i) {
            const double v = a * std::sin(2 * M_PI * 1000.0 * i / 48000.0);
            for (int c = 0; c < 2; ++c) {
                f.p_data[2 * i + c] = float(c == 0 ? v : v / 2); // right channel 6 dB lower
                f.p_data_16s[2 * i + c] = int16_t(std::lround(f.p_data[2 * i + c] * 32767));
            }
        }
        return wrapper;
    }
    CapabilitiesPtr queryCapabilities(const MediaInstancePtr &instance) override
    {
        return instance ? std::make_shared<Media_capabilities_t>() : CapabilitiesPtr();
    }
    void sendTally(const MediaInstancePtr &, bool preview, bool program) override
    {
        std::unique_lock lock(counters->lock);
        counters->tally.append({preview, program});
    }
    void sendNtp(const MediaInstancePtr &, const QString &) override {}
};
