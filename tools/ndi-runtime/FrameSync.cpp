#include "FrameSync.h"

#include "Log.h"
#include "MediaConvert.h"
#include "Receiver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace drndi {

FrameSync::FrameSync(Receiver *receiver) : m_receiver(receiver)
{
    receiver->attachFrameSync(this);
}

FrameSync::~FrameSync()
{
    if (Receiver *receiver = m_receiver.exchange(nullptr))
        receiver->detachFrameSync(this);
    for (float *p : m_audioOut)
        delete[] p;
}

void FrameSync::pushVideo(const PayloadPtr &payload, const VideoMsg &msg)
{
    auto held = std::make_shared<HeldVideo>();
    held->payload = payload;
    held->msg = msg;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back(std::move(held));
    while (m_pending.size() > kMaxVideoLag + 1)
        m_pending.pop_front();
}

void FrameSync::pushAudio(const AudioMsg &msg)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (msg.sampleRate != m_inRate || msg.channels != m_inChannels) {
        m_inRate = msg.sampleRate;
        m_inChannels = msg.channels;
        m_audio.assign(size_t(msg.channels), {});
        m_audioRead = 0;
        m_phase = 0;
        m_priming = true;
    }
    // Compact the consumed part before it grows.
    if (m_audioRead > 0 && m_audioRead >= m_audio[0].size() / 2) {
        for (auto &ch : m_audio)
            ch.erase(ch.begin(), ch.begin() + long(m_audioRead));
        m_audioRead = 0;
    }
    for (int c = 0; c < msg.channels; ++c) {
        const float *src = msg.data + size_t(c) * size_t(msg.samples);
        m_audio[size_t(c)].insert(m_audio[size_t(c)].end(), src, src + msg.samples);
    }
    m_lastInBlock = msg.samples;
    m_lastTimecode = msg.timecode;
    m_lastTimestamp = msg.timestamp;
    // Hard bound: never more than one second queued (the caller stopped capturing).
    size_t avail = m_audio[0].size() - m_audioRead;
    size_t cap = size_t(m_inRate);
    if (avail > cap)
        m_audioRead += avail - cap;
}

void FrameSync::captureVideo(NDIlib_video_frame_v2_t *frame)
{
    if (!frame)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pending.empty()) {
        m_latest = std::move(m_pending.front());
        m_pending.pop_front();
    }
    if (!m_latest) {
        std::memset(static_cast<void *>(frame), 0, sizeof *frame);
        return;
    }
    const VideoMsg &m = m_latest->msg;
    describeVideo(m, frame);
    frame->p_metadata = m.metadata.empty() ? nullptr : m.metadata.c_str();
    m_latest->outstanding++;
    m_videoOut[frame->p_data] = m_latest;
}

void FrameSync::freeVideo(NDIlib_video_frame_v2_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_videoOut.find(frame->p_data);
    if (it == m_videoOut.end())
        return;
    if (--it->second->outstanding <= 0)
        m_videoOut.erase(it);
}

void FrameSync::captureAudio(NDIlib_audio_frame_v2_t *frame, int sampleRate, int channels,
                             int samples)
{
    if (!frame)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (sampleRate <= 0)
        sampleRate = m_inRate > 0 ? m_inRate : 48000;
    if (channels <= 0)
        channels = m_inChannels > 0 ? m_inChannels : 2;
    if (samples <= 0)
        samples = sampleRate / 50;
    sampleRate = std::min(sampleRate, 384000);
    channels = std::min(channels, int(kMaxAudioChannels));
    samples = std::min(samples, 384000);

    float *out = new float[size_t(samples) * size_t(channels)]();
    m_audioOut.insert(out);
    *frame = NDIlib_audio_frame_v2_t{};
    frame->sample_rate = sampleRate;
    frame->no_channels = channels;
    frame->no_samples = samples;
    frame->p_data = out;
    frame->channel_stride_in_bytes = samples * 4;
    frame->timecode = m_lastTimecode;
    frame->timestamp = m_lastTimestamp;
    if (m_inRate <= 0 || m_audio.empty())
        return; // no audio yet: silence

    const double nominal = double(m_inRate) / sampleRate; // input samples per output sample
    const double avail = double(m_audio[0].size() - m_audioRead) - m_phase;
    const double need = samples * nominal;
    // The queue, measured as a capture starts, must still cover this capture when the
    // sender's next block comes just after it instead of just before (their grids are
    // independent, so that order flips with a few hundred microseconds of jitter): one input
    // block beyond this capture's need, plus slack for the capturing thread's own wake-up.
    const double slack = 0.005 * m_inRate;
    const double target = std::max(need + m_lastInBlock + slack, 0.03 * m_inRate);
    if (m_priming && avail < target)
        return; // build up a little queue first
    m_priming = false;
    if (avail > target + 0.2 * m_inRate) {
        // Far too much queued (a burst, or the caller paused): drop down to the target.
        m_audioRead += size_t(avail - target);
    }
    double depth = double(m_audio[0].size() - m_audioRead) - m_phase;
    double error = depth - target;
    // Below the target is never left alone (that is where a gap comes from); above it, half
    // a block of play absorbs the flips above without chasing them.
    double correction = 0;
    if (error < 0 || error > 0.5 * m_lastInBlock)
        correction = std::clamp(error / m_inRate * 0.05, -0.005, 0.005);
    const double step = nominal * (1.0 + correction);

    const size_t have = m_audio[0].size() - m_audioRead;
    int produced = 0;
    for (; produced < samples; ++produced) {
        double pos = m_phase + produced * step;
        size_t i = size_t(pos);
        double frac = pos - double(i);
        if (i + (frac > 0 ? 1 : 0) >= have)
            break;
        for (int c = 0; c < channels; ++c) {
            int srcC = c < m_inChannels ? c : (m_inChannels == 1 ? 0 : -1);
            if (srcC < 0)
                continue;
            const float *src = m_audio[size_t(srcC)].data() + m_audioRead;
            float v = frac > 0 ? float(src[i] * (1 - frac) + src[i + 1] * frac) : src[i];
            out[size_t(c) * size_t(samples) + size_t(produced)] = v;
        }
    }
    double consumed = m_phase + produced * step;
    size_t whole = std::min(have, size_t(consumed));
    m_audioRead += whole;
    m_phase = produced < samples ? 0 : consumed - double(whole);
    if (produced < samples) {
        m_priming = true; // ran dry: the rest is silence, rebuild the queue
        ++m_audioDryRuns;
        // One line at most every minute: a sender that stalls or a network that holds
        // packets back is heard as a gap, and the log says which side it was.
        const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        if (m_dryRunsLoggedAtUs == 0 || nowUs - m_dryRunsLoggedAtUs >= 60000000) {
            logLine("frame sync: the sender's audio came late; %llu gap(s) of silence so far "
                    "(queue held %d of %d samples)",
                    static_cast<unsigned long long>(m_audioDryRuns), int(have),
                    int(std::ceil(need)));
            m_dryRunsLoggedAtUs = nowUs;
        }
    }
}

void FrameSync::freeAudio(NDIlib_audio_frame_v2_t *frame)
{
    if (!frame || !frame->p_data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_audioOut.find(frame->p_data);
    if (it == m_audioOut.end())
        return;
    delete[] * it;
    m_audioOut.erase(it);
    frame->p_data = nullptr;
}

int FrameSync::audioQueueDepth()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_audio.empty() ? 0 : int(m_audio[0].size() - m_audioRead);
}

} // namespace drndi
