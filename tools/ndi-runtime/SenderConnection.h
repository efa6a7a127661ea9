// SenderConnection: one receiver connected to a Sender. A reader thread takes the hello and
// then the receiver's metadata and tally; a writer thread sends queued packets.
//
// The outgoing queue is bounded: at most kMaxQueuedVideo video packets (the oldest video is
// dropped for a slow receiver) and kMaxQueuedBytes in all (beyond that the receiver is cut
// off with a log line). So a receiver that stops reading costs bounded memory.
//
// Threads: its reader and writer; queue()/close() from any thread. m_mutex guards the queue
// and the flags. The owner (Sender) is called back from the reader thread without m_mutex held.
#pragma once

#include "Socket.h"
#include "WireFormat.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace drndi {

class SenderConnection
{
public:
    static constexpr size_t kMaxQueuedVideo = 2;
    static constexpr size_t kMaxQueuedBytes = 256u << 20;

    class Owner
    {
    public:
        virtual ~Owner() = default;
        // The receiver said hello. To accept, queue the accepting answer first and return
        // true; to refuse, return false with the source's full name in `name` (the
        // connection answers and closes). Called on the reader thread.
        virtual bool onHello(SenderConnection *conn, const HelloMsg &hello, std::string *name) = 0;
        virtual void onMetadata(SenderConnection *conn, const TextMsg &text) = 0;
        virtual void onTally(SenderConnection *conn, bool program, bool preview) = 0;
        virtual void onClosed(SenderConnection *conn) = 0;
    };

    SenderConnection(FdHandle fd, std::string peer, Owner *owner);
    ~SenderConnection(); // closes and joins both threads
    void start();

    void queue(const Packet &packet, bool isVideo);
    void close();
    bool finished() const { return m_finished; }
    bool active() const { return m_active; }
    int32_t bandwidth() const { return m_bandwidth; }
    const std::string &peer() const { return m_peer; }

private:
    void readLoop();
    void writeLoop();
    void fail(const std::string &why);

    FdHandle m_fd;
    const std::string m_peer;
    Owner *m_owner;
    std::atomic<int32_t> m_bandwidth{100};
    std::atomic<bool> m_active{false};   // hello accepted
    std::atomic<bool> m_finished{false}; // reader ended

    std::mutex m_mutex;
    std::condition_variable m_cv;
    struct Queued
    {
        Packet packet;
        bool video;
    };
    std::deque<Queued> m_queue;
    size_t m_queuedBytes = 0;
    size_t m_queuedVideo = 0;
    bool m_closing = false;

    std::thread m_reader, m_writer;
};

} // namespace drndi
