#include "WireParser.h"

#include <algorithm>
#include <cstring>

namespace drndi {

static uint32_t readU32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WireParser::ensureRoom()
{
    if (m_inPayload && m_have == m_payload->size() && m_have < m_target)
        m_payload->resize(std::min(m_target, m_payload->size() * 2));
}

uint8_t *WireParser::buffer()
{
    ensureRoom();
    return m_inPayload ? m_payload->data() + m_have : m_header + m_have;
}

size_t WireParser::wanted()
{
    ensureRoom();
    return m_inPayload ? m_payload->size() - m_have : kHeaderSize - m_have;
}

WireParser::Result WireParser::startPayload()
{
    uint32_t magic = readU32(m_header);
    m_type = uint16_t(m_header[4] | m_header[5] << 8);
    uint32_t length = readU32(m_header + 8);
    if (magic != kWireMagic) {
        m_error = "bad message magic";
        return Result::Error;
    }
    uint32_t limit = maxPayload(m_type);
    if (limit == 0) {
        m_error = "unknown message type " + std::to_string(m_type);
        return Result::Error;
    }
    if (length > limit) {
        m_error = "message of type " + std::to_string(m_type) + " too long (" +
                  std::to_string(length) + " bytes)";
        return Result::Error;
    }
    m_payload = std::make_shared<Payload>(std::min<size_t>(length, kEagerBytes));
    m_target = length;
    m_have = 0;
    m_inPayload = true;
    if (length == 0) {
        m_inPayload = false;
        return Result::Message;
    }
    return Result::NeedMore;
}

WireParser::Result WireParser::commit(size_t n)
{
    if (!m_error.empty())
        return Result::Error;
    m_have += n;
    if (!m_inPayload) {
        if (m_have < kHeaderSize)
            return Result::NeedMore;
        m_have = 0;
        return startPayload();
    }
    if (m_have < m_target)
        return Result::NeedMore;
    m_inPayload = false;
    m_have = 0;
    return Result::Message;
}

PayloadPtr WireParser::takePayload()
{
    PayloadPtr p = std::move(m_payload);
    m_payload.reset();
    return p;
}

bool WireParser::feed(const uint8_t *data, size_t len,
                      const std::function<bool(uint16_t, PayloadPtr)> &onMessage)
{
    while (len > 0) {
        size_t n = std::min(len, wanted());
        std::memcpy(buffer(), data, n);
        data += n;
        len -= n;
        Result r = commit(n);
        if (r == Result::Error)
            return false;
        if (r == Result::Message && !onMessage(m_type, takePayload()))
            return true;
    }
    return true;
}

} // namespace drndi
