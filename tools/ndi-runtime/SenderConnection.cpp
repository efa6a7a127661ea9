#include "SenderConnection.h"

#include "Log.h"
#include "WireParser.h"

#include <sys/socket.h>

#include <cstring>

namespace drndi {

SenderConnection::SenderConnection(FdHandle fd, std::string peer, Owner *owner)
    : m_fd(std::move(fd)), m_peer(std::move(peer)), m_owner(owner)
{
    tuneStreamSocket(m_fd.get());
    // A modest kernel buffer: a receiver that falls behind then sees our queue drop old frames
    // instead of megabytes of stale video piling up in the socket (latency stays low).
    int sendBuffer = 1 << 20;
    setsockopt(m_fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
}

SenderConnection::~SenderConnection()
{
    close();
    if (m_reader.joinable())
        m_reader.join();
    if (m_writer.joinable())
        m_writer.join();
}

void SenderConnection::start()
{
    m_reader = std::thread([this] { readLoop(); });
    m_writer = std::thread([this] { writeLoop(); });
}

void SenderConnection::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        m_queue.clear();
        m_queuedBytes = 0;
        m_queuedVideo = 0;
    }
    m_cv.notify_all();
    ::shutdown(m_fd.get(), SHUT_RDWR);
}

void SenderConnection::fail(const std::string &why)
{
    logLine("receiver %s dropped: %s", m_peer.c_str(), why.c_str());
    close();
}

void SenderConnection::queue(const Packet &packet, bool isVideo)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing)
            return;
        if (isVideo && m_queuedVideo >= kMaxQueuedVideo) {
            for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
                if (it->video) {
                    m_queuedBytes -= it->packet->size();
                    --m_queuedVideo;
                    m_queue.erase(it);
                    break;
                }
            }
        }
        if (m_queuedBytes + packet->size() > kMaxQueuedBytes) {
            m_closing = true;
        } else {
            m_queue.push_back(Queued{packet, isVideo});
            m_queuedBytes += packet->size();
            if (isVideo)
                ++m_queuedVideo;
        }
    }
    bool overflow;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        overflow = m_closing;
    }
    if (overflow)
        fail("it does not keep up (send queue full)");
    m_cv.notify_all();
}

void SenderConnection::writeLoop()
{
    for (;;) {
        Packet packet;
        bool video = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_closing || !m_queue.empty(); });
            if (m_closing)
                return;
            packet = m_queue.front().packet;
            video = m_queue.front().video;
            m_queue.pop_front();
            m_queuedBytes -= packet->size();
            if (video)
                --m_queuedVideo;
        }
        if (!sendAll(m_fd.get(), packet->data(), packet->size())) {
            close();
            return;
        }
    }
}

void SenderConnection::readLoop()
{
    WireParser parser;
    bool hello = false;
    std::string why;
    int64_t helloDeadline = steadyMs() + 5000;
    for (;;) {
        if (!hello) {
            int64_t left = helloDeadline - steadyMs();
            if (left <= 0 || !waitReadable(m_fd.get(), int(left))) {
                why = "no hello";
                break;
            }
        }
        ssize_t n = ::recv(m_fd.get(), parser.buffer(), parser.wanted(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0 && parser.midMessage())
                why = "connection ended inside a message";
            break;
        }
        auto r = parser.commit(size_t(n));
        if (r == WireParser::Result::Error) {
            why = parser.error();
            break;
        }
        if (r != WireParser::Result::Message)
            continue;
        PayloadPtr payload = parser.takePayload();
        MsgType type = MsgType(parser.type());
        if (!hello) {
            HelloMsg msg;
            if (type != MsgType::Hello) {
                why = "first message is not a hello";
                break;
            }
            if (!decodeHello(*payload, &msg, &why))
                break;
            m_bandwidth = msg.bandwidth;
            std::string name;
            if (!m_owner->onHello(this, msg, &name)) {
                HelloAckMsg refusal;
                refusal.sourceName = name;
                Packet p = encodeHelloAck(refusal);
                sendAll(m_fd.get(), p->data(), p->size());
                break;
            }
            hello = true;
            m_active = true;
            continue;
        }
        if (type == MsgType::Metadata) {
            TextMsg text;
            if (!decodeText(*payload, &text, &why))
                break;
            m_owner->onMetadata(this, text);
        } else if (type == MsgType::Tally) {
            bool program, preview;
            if (!decodeTally(*payload, &program, &preview, &why))
                break;
            m_owner->onTally(this, program, preview);
        } else {
            why = "unexpected message type " + std::to_string(unsigned(type));
            break;
        }
    }
    bool closing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        closing = m_closing;
    }
    if (!why.empty() && !closing)
        fail(why);
    else
        close();
    m_active = false;
    m_finished = true;
    m_owner->onClosed(this);
}

} // namespace drndi
