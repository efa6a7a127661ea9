// A media connection whose "receiver" draws frames in memory: colour bars (or one solid
// colour) as UYVY at a size per bandwidth, a frame rate, a wall-clock timestamp and a tone of
// a known peak per channel. The real MediaConnection logic (users, streams, timers, audio
// thread, levels) runs unchanged on top of it.
// Threads: the capture operations run on the connection's timer and audio threads; the
// settings are atomics or fixed before the connection starts.
#pragma once

#include "media/MediaConnection.h"

#include <QDateTime>
#include <QSize>
#include <atomic>
#include <cstdlib>
#include <cstring>
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

class FakeVideoConnection : public MediaConnection
{
public:
    struct Options
    {
        QSize highSize{1280, 720};
        QSize lowSize{640, 360};
        int fpsN = 30000;
        int fpsD = 1001;
        bool bars = true;             // otherwise one solid colour
        UyvyColour solid = kBars[5];  // 75% red
        float peak[2] = {0.5f, 0.1f}; // tone peak per channel (1.0 = 0 dBFS)
    };

    explicit FakeVideoConnection(Options options) : m_options(options)
    {
        m_highPicture = draw(m_options.highSize);
        m_lowPicture = draw(m_options.lowSize);
    }
    ~FakeVideoConnection() override { shutdown(); }

    // While false the receiver is connected but delivers frames without data.
    std::atomic<bool> delivering{true};
    // Counts stop() calls; shared so it can be read after the connection is gone.
    std::shared_ptr<std::atomic<int>> stopCalls = std::make_shared<std::atomic<int>>(0);

    bool stop() override
    {
        ++*stopCalls;
        return MediaConnection::stop();
    }

protected:
    class Instance : public MediaInstance_t
    {
    public:
        explicit Instance(int b) : bw(b) {}
        int bw;
    };

    MediaInstancePtr createInstance(int bw, const QString &, const QString &address) override
    {
        if (address.isEmpty())
            return {};
        return std::make_shared<Instance>(bw);
    }
    int checkConnection(const MediaInstancePtr &instance) override
    {
        return instance ? Connected : NoReceiver;
    }
    VideoFramePtr captureVideo(const MediaInstancePtr &instance, bool) override
    {
        auto *inst = dynamic_cast<Instance *>(instance.get());
        if (!inst)
            return {};
        auto wrapper = std::make_shared<MediaFrameWrapper<>>();
        Media_video_frame_t &f = wrapper->frame;
        const bool high = inst->bw == High;
        const QSize size = high ? m_options.highSize : m_options.lowSize;
        f.xres = size.width();
        f.yres = size.height();
        f.frame_rate_N = m_options.fpsN;
        f.frame_rate_D = m_options.fpsD;
        f.line_stride_in_bytes = 2 * f.xres;
        f.timestamp = QDateTime::currentMSecsSinceEpoch() * 10000;
        if (delivering) {
            const std::vector<uint8_t> &src = high ? m_highPicture : m_lowPicture;
            f.p_data = static_cast<uint8_t *>(std::malloc(src.size()));
            std::memcpy(f.p_data, src.data(), src.size());
        }
        return wrapper;
    }
    AudioFramePtr captureAudio(const MediaInstancePtr &instance, bool, int samples) override
    {
        if (!instance || samples <= 0)
            return {};
        auto wrapper = std::make_shared<AudioFrameWrapper<>>();
        Media_audio_frame_t &f = wrapper->frame;
        f.no_channels = 2;
        f.no_samples = samples;
        f.p_data = static_cast<float *>(std::malloc(sizeof(float) * 2 * samples));
        f.p_data_16s = static_cast<int16_t *>(std::malloc(sizeof(int16_t) * 2 * samples));
        for (int i = 0; i < samples; ++i) {
            for (int c = 0; c < 2; ++c) {
                // A square wave: every sample at the peak, alternating sign.
                const float s = (i % 2 ? -1.f : 1.f) * m_options.peak[c];
                f.p_data[2 * i + c] = s;
                f.p_data_16s[2 * i + c] = static_cast<int16_t>(s * 32767.f);
            }
        }
        return wrapper;
    }
    CapabilitiesPtr queryCapabilities(const MediaInstancePtr &) override
    {
        return std::make_shared<Media_capabilities_t>();
    }
    void sendTally(const MediaInstancePtr &, bool, bool) override {}
    void sendNtp(const MediaInstancePtr &, const QString &) override {}

private:
    std::vector<uint8_t> draw(QSize size) const
    {
        const int w = size.width();
        const int h = size.height();
        std::vector<uint8_t> data(static_cast<size_t>(w) * h * 2);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; x += 2) {
                const UyvyColour c = m_options.bars ? kBars[qMin(6, x * 7 / w)] : m_options.solid;
                uint8_t *p = &data[(static_cast<size_t>(y) * w + x) * 2];
                p[0] = c.u;
                p[1] = c.y;
                p[2] = c.v;
                p[3] = c.y;
            }
        }
        return data;
    }

    Options m_options;
    std::vector<uint8_t> m_highPicture;
    std::vector<uint8_t> m_lowPicture;
};
