// Sender: one NDIlib_send_instance_t. Listens on a TCP port of its own, registers itself with
// discovery, and sends every frame to its connected receivers: full-size UYVY to normal
// receivers, a 640-wide proxy (made only while a low-bandwidth receiver is connected) to
// low-bandwidth ones, audio to all but metadata-only receivers, metadata to all. It keeps the
// last video frame for receivers that connect later, collects metadata and tally from its
// receivers, and echoes the combined tally to them as <ndi_tally_echo .../>.
//
// Threads: an accept thread; each connection's threads call back into the Sender; the
// public functions from any application thread.
// Lock order: m_videoMutex or m_audioMutex, then m_mutex, then a SenderConnection's lock
// (queue()). m_videoMutex / m_audioMutex serialise video / audio sends and guard their pacing
// state, so a paced video send never holds up audio sent from another thread; m_mutex guards
// everything below it.
#pragma once

#include "ndi/NdiApi.h"

#include "SenderConnection.h"
#include "Socket.h"
#include "WireFormat.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace drndi {

class DiscoveryService;

class Sender : public SenderConnection::Owner
{
public:
    static constexpr size_t kMaxMetadataQueue = 64;

    // Null when no port could be opened (logged).
    static std::unique_ptr<Sender> create(const NDIlib_send_create_t *settings);
    ~Sender() override;

    void sendVideo(const NDIlib_video_frame_v2_t *frame);
    void sendAudio(const NDIlib_audio_frame_v2_t *frame);
    void sendMetadata(const NDIlib_metadata_frame_t *frame);
    NDIlib_frame_type_e capture(NDIlib_metadata_frame_t *frame, uint32_t timeoutMs);
    void freeMetadata(const NDIlib_metadata_frame_t *frame);
    bool getTally(NDIlib_tally_t *tally, uint32_t timeoutMs);
    int connections(uint32_t timeoutMs);
    void clearConnectionMetadata();
    void addConnectionMetadata(const NDIlib_metadata_frame_t *frame);
    const NDIlib_source_t *sourceName() const { return &m_source; }

    // SenderConnection::Owner
    bool onHello(SenderConnection *conn, const HelloMsg &hello, std::string *name) override;
    void onMetadata(SenderConnection *conn, const TextMsg &text) override;
    void onTally(SenderConnection *conn, bool program, bool preview) override;
    void onClosed(SenderConnection *conn) override;

private:
    Sender() = default;
    void acceptLoop();
    void reap();
    void broadcast(const Packet &packet, bool video, bool toAudio, bool toMetadataOnly);
    Packet proxyOf(const Packet &full); // call with m_mutex held
    void updateTallyLocked();
    void pace(int64_t periodUs, int64_t *nextUs);

    std::string m_fullName;
    std::string m_address;
    std::string m_groups;
    NDIlib_source_t m_source;
    bool m_clockVideo = true, m_clockAudio = true;
    std::shared_ptr<DiscoveryService> m_discovery;
    uint64_t m_registration = 0;
    FdHandle m_listen;
    FdHandle m_wakeRead, m_wakeWrite;
    std::thread m_acceptThread;

    std::mutex m_videoMutex;
    int64_t m_nextVideoUs = 0;
    std::vector<uint8_t> m_convert; // RGBA -> UYVY scratch
    bool m_warnedFormat = false;
    std::mutex m_audioMutex;
    int64_t m_nextAudioUs = 0;
    std::atomic<int64_t> m_lastVideoSendUs{0};

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopping = false;
    std::vector<std::unique_ptr<SenderConnection>> m_conns;
    Packet m_lastVideo, m_lastProxy;
    VideoMsg m_lastVideoMsg;
    std::string m_connMeta;
    std::deque<TextMsg> m_metadataIn;
    std::set<const char *> m_stringsOut;
    NDIlib_tally_t m_tally;
    bool m_tallyChanged = false;
    std::string m_tallyEcho;
    struct ConnTally
    {
        bool program = false, preview = false;
    };
    std::vector<std::pair<SenderConnection *, ConnTally>> m_connTally;
};

} // namespace drndi
