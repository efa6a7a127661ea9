// FrameSync: the frame synchroniser bound to one receiver. The receiver's worker pushes every
// video and audio message here instead of queueing it; the application captures at its own
// pace and both captures return at once:
//  - video: the most recent frame, as often as asked, time-base corrected to the caller's
//    clock: frames that arrive bunched (sender or network jitter, or one late capture) are
//    handed out one per capture in order, at most kMaxVideoLag frames behind the newest, so
//    a caller capturing at about the frame rate sees every frame once; an all-zero frame
//    before the first;
//  - audio: exactly the requested samples, rate and channels, resampled to follow the
//    caller's clock (a small rate correction keeps the queue near its target, a hard cap
//    drops the excess), silence where data is short.
// Threads: push* from the receiver's worker, capture/free from any application thread.
// m_mutex guards every field below it.
#pragma once

#include "ndi/NdiApi.h"

#include "WireFormat.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace drndi {

class Receiver;

class FrameSync
{
public:
    explicit FrameSync(Receiver *receiver);
    ~FrameSync(); // detaches from the receiver first

    // The receiver is going away first (against the rules): keep what we have, detach nothing.
    void forgetReceiver() { m_receiver = nullptr; }

    void pushVideo(const PayloadPtr &payload, const VideoMsg &msg);
    void pushAudio(const AudioMsg &msg);

    void captureVideo(NDIlib_video_frame_v2_t *frame);
    void freeVideo(NDIlib_video_frame_v2_t *frame);
    void captureAudio(NDIlib_audio_frame_v2_t *frame, int sampleRate, int channels, int samples);
    void freeAudio(NDIlib_audio_frame_v2_t *frame);
    int audioQueueDepth();

    // Frames waiting beyond the newest one: 1 lets a capture that came late, or two frames that
    // arrived within one capture period, still show each frame, for at most one frame
    // interval of added delay; a caller slower than the source drops the excess.
    static constexpr size_t kMaxVideoLag = 1;

private:
    struct HeldVideo
    {
        PayloadPtr payload;
        VideoMsg msg;
        int outstanding = 0;
    };

    std::atomic<Receiver *> m_receiver;
    std::mutex m_mutex;
    std::shared_ptr<HeldVideo> m_latest;              // handed out last, repeated until newer
    std::deque<std::shared_ptr<HeldVideo>> m_pending; // arrived after m_latest, oldest first
    std::map<const uint8_t *, std::shared_ptr<HeldVideo>> m_videoOut; // frames handed out
    std::set<float *> m_audioOut;                                     // buffers handed out
    // Queued input audio, planar: m_audio[c] holds channel c from m_audioRead on.
    std::vector<std::vector<float>> m_audio;
    size_t m_audioRead = 0;
    int m_inRate = 0;
    int m_inChannels = 0;
    int m_lastInBlock = 0;
    double m_phase = 0;          // fractional read position (input samples)
    bool m_priming = true;       // waiting for the queue to reach its target after start/underrun
    uint64_t m_audioDryRuns = 0; // captures that ran out of queued audio after priming
    int64_t m_dryRunsLoggedAtUs = 0; // steady clock of the last line about them
    int64_t m_lastTimecode = 0;
    int64_t m_lastTimestamp = 0;
};

} // namespace drndi
