// Receiver: one NDIlib_recv_instance_t. A worker thread connects to the source over TCP,
// reads its messages and queues them for recv_capture_v2 (or hands video and audio to the
// bound FrameSync). When the connection is lost it reports one error frame and reconnects,
// looking the source's name up again so that a source that returns at a new address is found.
//
// Memory per connection is bounded: each message is limited by the wire format and the
// queues keep at most kMaxVideoQueue / kMaxAudioQueue / kMaxMetadataQueue entries (the
// oldest is dropped and counted).
//
// Threads: the worker; any application thread for the public functions.
// Lock order: m_mutex, then m_sinkMutex, then FrameSync's own lock. m_writeMutex is taken
// alone. m_mutex guards the target, queues, flags, capabilities and handed-out buffers;
// m_sinkMutex guards m_sink; m_writeMutex guards m_sendFd (the worker's socket for writes).
#pragma once

#include "ndi/NdiApi.h"

#include "CancelPipe.h"
#include "Socket.h"
#include "WireFormat.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace drndi {

class DiscoveryService;
class FrameSync;

class Receiver
{
public:
    static constexpr size_t kMaxVideoQueue = 4;
    static constexpr size_t kMaxAudioQueue = 64;
    static constexpr size_t kMaxMetadataQueue = 64;

    explicit Receiver(const NDIlib_recv_create_v3_t &settings);
    ~Receiver();

    void connect(const NDIlib_source_t *source);
    NDIlib_frame_type_e capture(NDIlib_video_frame_v2_t *video, NDIlib_audio_frame_v2_t *audio,
                                NDIlib_metadata_frame_t *metadata, uint32_t timeoutMs);
    void freeVideo(const NDIlib_video_frame_v2_t *frame);
    void freeAudio(const NDIlib_audio_frame_v2_t *frame);
    void freeMetadata(const NDIlib_metadata_frame_t *frame);
    void freeString(const char *text);
    bool sendMetadata(const NDIlib_metadata_frame_t *frame);
    bool setTally(const NDIlib_tally_t *tally);
    int connections();
    bool ptzSupported();
    const char *webControl(); // new string, freed with freeString
    void performance(NDIlib_recv_performance_t *total, NDIlib_recv_performance_t *dropped);

    void attachFrameSync(FrameSync *sync);
    void detachFrameSync(FrameSync *sync);

private:
    struct Item
    {
        MsgType type;
        PayloadPtr payload;
        VideoMsg video;
        AudioMsg audio;
        TextMsg text;
    };

    void run();
    // Reads one connection until it ends; returns the reason for the log (empty = clean).
    std::string serve(int fd);
    bool handle(uint16_t type, const PayloadPtr &payload, std::string *why);
    void enqueue(Item item);
    bool sendPacket(const Packet &packet);
    void sleepInterruptible(int ms);

    const int32_t m_bandwidth;
    const int32_t m_colorFormat; // BGRX_BGRA / RGBX_RGBA convert; every other gives UYVY
    const std::string m_receiverName;
    std::shared_ptr<DiscoveryService> m_discovery;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_targetName;
    std::string m_targetAddress;
    uint64_t m_targetVersion = 0;
    bool m_connected = false;
    bool m_errorPending = false;
    bool m_statusPending = false;
    bool m_tallySet = false;
    NDIlib_tally_t m_tally;
    std::string m_webControl;
    bool m_ptz = false;
    std::deque<Item> m_queue;
    size_t m_queuedVideo = 0, m_queuedAudio = 0, m_queuedMetadata = 0;
    NDIlib_recv_performance_t m_total, m_dropped;
    std::map<const void *, PayloadPtr> m_videoOut, m_audioOut;
    std::map<const void *, std::string> m_videoMetaOut; // p_metadata of handed-out video
    std::set<const char *> m_stringsOut;

    std::mutex m_sinkMutex;
    FrameSync *m_sink = nullptr;

    std::mutex m_writeMutex;
    int m_sendFd = -1;

    std::atomic<bool> m_stop{false};
    CancelPipe m_cancel; // cancelled once, on destruction: abandon a connect in progress
    std::thread m_thread;
};

// Describes a received picture to the caller: shape, rate, timing and pixels (which stay owned
// by `m`). p_metadata is left null; the caller decides how long the metadata text lives.
void describeVideo(const VideoMsg &m, NDIlib_video_frame_v2_t *frame);

} // namespace drndi
