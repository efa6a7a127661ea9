// Incremental reader of the message stream of one connection. The socket reads straight into
// buffer(), so payloads up to kEagerBytes are never copied; larger ones grow with the data
// that actually arrives, so a header that merely claims a large payload costs at most
// kEagerBytes. A header with a bad magic, an unknown type or a length above that type's
// limit is an error and the connection must be closed.
// Owned by one thread (the connection's reader); not thread-safe.
#pragma once

#include "WireFormat.h"

#include <functional>
#include <string>

namespace drndi {

class WireParser
{
public:
    enum class Result
    {
        NeedMore,
        Message,
        Error
    };

    // Where the next bytes go, and how many the current part still needs (never 0).
    static constexpr size_t kEagerBytes = 8u << 20;

    uint8_t *buffer();
    size_t wanted();
    // `n` bytes (at most wanted()) were written to buffer().
    Result commit(size_t n);

    // After Result::Message: the message's type and payload (the parser lets go of it).
    uint16_t type() const { return m_type; }
    PayloadPtr takePayload();
    const std::string &error() const { return m_error; }
    // True when part of a message has been read (the stream must not end here).
    bool midMessage() const { return m_inPayload || m_have > 0; }

    // Copies bytes in; calls onMessage for each complete message (it returns false to stop).
    // False on a framing error.
    bool feed(const uint8_t *data, size_t len,
              const std::function<bool(uint16_t, PayloadPtr)> &onMessage);

private:
    Result startPayload();
    void ensureRoom();

    uint8_t m_header[kHeaderSize] = {};
    size_t m_have = 0;
    bool m_inPayload = false;
    size_t m_target = 0; // full payload length of the current message
    uint16_t m_type = 0;
    PayloadPtr m_payload;
    std::string m_error;
};

} // namespace drndi
