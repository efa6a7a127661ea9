// A media connection over in-process fake receivers: per bandwidth they draw colour bars (or
// one solid colour) as UYVY at a set size and frame rate, and a square-wave tone of a set peak
// per channel. The test decides per bandwidth whether pictures arrive and may set the
// capability record reported; the fake counts
// receivers made and destroyed, frames handed back, stop() calls and tally sends. The real
// MediaConnection logic (users, streams, timers, audio thread, levels) runs unchanged on top.
// Threads: the capture operations run on the connection's timer and audio threads; every knob
// is an atomic (caps: main thread only), the Options are fixed at construction.
#pragma once

#include "media/MediaConnection.h"
#include "media/MediaReaper.h"

#include <QDateTime>
#include <QSize>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

struct UyvyColour
{
    uint8_t y, u, v;
};

// 75% colour bars, left to right: white, yellow, cyan, green, magenta, red, blue (BT.709).
inline constexpr UyvyColour kBars[7] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44},
                                        {133, 63, 52},   {63, 193, 204}, {51, 109, 212},
                                        {28, 212, 120}};
// The same bars as 8-bit R'G'B' (75% of full scale = 191).
inline constexpr int kBarsRgb[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};

// Outlives the connection: receivers kept by frames still count into it.
struct FakeCounters
{
    std::atomic<int> created[3] = {0, 0, 0};   // receivers made, by bandwidth 1/2
    std::atomic<int> destroyed[3] = {0, 0, 0}; // receivers destroyed
    std::atomic<int> videoFreed{0};            // video frames handed back
    std::atomic<int> audioFreed{0};            // audio frames handed back
    std::atomic<int> stops{0};                 // stop() calls
    std::atomic<QThread *> destroyThread{nullptr};
    std::mutex lock;                // guards tally
    QList<QPair<bool, bool>> tally; // (preview, program) as sent
};
using FakeCountersPtr = std::shared_ptr<FakeCounters>;
using Picture = std::shared_ptr<const std::vector<uint8_t>>;

class FakeInstance : public MediaInstance_t
{
public:
    FakeInstance(int bw, Picture pic, QSize sz, FakeCountersPtr c)
        : bandwidth(bw), picture(std::move(pic)), size(sz), counters(std::move(c))
    {
    }
    ~FakeInstance() override
    {
        counters->destroyThread = QThread::currentThread();
        ++counters->destroyed[bandwidth];
    }
    void freeVideo(Media_video_frame_t *) override { ++counters->videoFreed; }
    void freeAudio(Media_audio_frame_t *) override { ++counters->audioFreed; }

    const int bandwidth;
    const Picture picture;
    const QSize size;
    const FakeCountersPtr counters;
};

struct FakePictureOptions
{
    QSize highSize{1280, 720};
    QSize lowSize{640, 360};
    bool bars = true;            // otherwise one solid colour
    UyvyColour solid = kBars[5]; // 75% red
};

class FakeReceiverConnection : public MediaConnection
{
public:
    using Options = FakePictureOptions;

    explicit FakeReceiverConnection(Options options = {})
        : m_options(options), m_high(draw(options.highSize)), m_low(draw(options.lowSize))
    {
    }
    ~FakeReceiverConnection() override { shutdown(); }

    const FakeCountersPtr counters = std::make_shared<FakeCounters>();
    std::atomic<bool> delivers[3] = {true, true, true}; // pictures, by bandwidth
    std::atomic<int> rateN{30000};
    std::atomic<int> rateD{1001};
    std::atomic<float> peak[2] = {0.5f, 0.1f}; // tone peak per channel, 1.0 = 0 dBFS

    CapabilitiesPtr caps; // the record to report instead of the streams' own; main thread only

    void setDelivering(bool on) { delivers[High] = delivers[Low] = on; }
    CapabilitiesPtr getCapabilities(int bw) override
    {
        return caps ? caps : MediaConnection::getCapabilities(bw);
    }
    bool stop() override
    {
        ++counters->stops;
        return MediaConnection::stop();
    }

protected:
    MediaInstancePtr createInstance(int bw, const QString &, const QString &address) override
    {
        if (address.isEmpty())
            return {};
        ++counters->created[bw];
        const bool high = bw == High;
        return MediaReaper::makeShared<MediaInstance_t>(new FakeInstance(
            bw, high ? m_high : m_low, high ? m_options.highSize : m_options.lowSize, counters));
    }
    int checkConnection(const MediaInstancePtr &i) override { return i ? Connected : NoReceiver; }
    VideoFramePtr captureVideo(const MediaInstancePtr &instance, bool onlySticky) override
    {
        auto *fake = dynamic_cast<FakeInstance *>(instance.get());
        if (!fake)
            return {};
        auto wrapper = std::make_shared<MediaFrameWrapper<>>(instance);
        Media_video_frame_t &f = wrapper->frame;
        f.xres = fake->size.width();
        f.yres = fake->size.height();
        f.frame_rate_N = rateN;
        f.frame_rate_D = rateD;
        f.line_stride_in_bytes = 2 * f.xres;
        f.timestamp = QDateTime::currentMSecsSinceEpoch() * 10000;
        if (!onlySticky && delivers[fake->bandwidth])
            f.p_data = const_cast<uint8_t *>(fake->picture->data()); // handed back, never freed
        return wrapper;
    }
    AudioFramePtr captureAudio(const MediaInstancePtr &instance, bool onlySticky,
                               int samples) override
    {
        if (!instance || samples <= 0)
            return {};
        auto wrapper = std::make_shared<AudioFrameWrapper<>>();
        if (onlySticky)
            return wrapper;
        Media_audio_frame_t &f = wrapper->frame;
        f.no_channels = 2;
        f.no_samples = samples;
        f.p_data = static_cast<float *>(std::malloc(sizeof(float) * 2 * samples));
        f.p_data_16s = static_cast<int16_t *>(std::malloc(sizeof(int16_t) * 2 * samples));
        for (int i = 0; i < samples; ++i) {
            for (int c = 0; c < 2; ++c) {
                const float s = (i % 2 ? -1.f : 1.f) * peak[c]; // every sample at the peak
                f.p_data[2 * i + c] = s;
                f.p_data_16s[2 * i + c] = static_cast<int16_t>(s * 32767.f);
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

private:
    Picture draw(QSize size) const
    {
        const int w = size.width();
        auto data =
            std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w) * size.height() * 2);
        for (size_t at = 0; at < data->size(); at += 4) {
            const int x = int(at / 2 % w);
            const UyvyColour c = m_options.bars ? kBars[qMin(6, x * 7 / w)] : m_options.solid;
            (*data)[at] = c.u;
            (*data)[at + 1] = c.y;
            (*data)[at + 2] = c.v;
            (*data)[at + 3] = c.y;
        }
        return data;
    }

    const Options m_options;
    const Picture m_high;
    const Picture m_low;
};
