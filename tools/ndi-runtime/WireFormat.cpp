#include "WireFormat.h"

#include "ndi/XmlText.h"

#include <cstring>

namespace drndi {

namespace {

// Appends little-endian values (x86-64 is little-endian; memcpy keeps it alignment-safe).
class Writer
{
public:
    explicit Writer(MsgType type, size_t payloadReserve = 0)
    {
        m_buf.reserve(kHeaderSize + payloadReserve);
        u32(kWireMagic);
        u16(uint16_t(type));
        u16(0);
        u32(0); // length, patched in finish()
        u32(0);
    }
    void u8(uint8_t v) { m_buf.push_back(v); }
    void u16(uint16_t v) { raw(&v, 2); }
    void u32(uint32_t v) { raw(&v, 4); }
    void i32(int32_t v) { raw(&v, 4); }
    void i64(int64_t v) { raw(&v, 8); }
    void f32(float v) { raw(&v, 4); }
    void raw(const void *p, size_t n)
    {
        const uint8_t *b = static_cast<const uint8_t *>(p);
        m_buf.insert(m_buf.end(), b, b + n);
    }
    void str16(const std::string &s) // u16 length + bytes
    {
        size_t n = std::min<size_t>(s.size(), kMaxNameBytes);
        u16(uint16_t(n));
        raw(s.data(), n);
    }
    void padTo(size_t payloadOffset) { m_buf.resize(kHeaderSize + payloadOffset, 0); }
    size_t payloadSize() const { return m_buf.size() - kHeaderSize; }
    ByteBuffer &buffer() { return m_buf; }
    Packet finish()
    {
        uint32_t len = uint32_t(payloadSize());
        std::memcpy(m_buf.data() + 8, &len, 4);
        return std::make_shared<const ByteBuffer>(std::move(m_buf));
    }

private:
    ByteBuffer m_buf;
};

// Bounds-checked reader over one payload.
class Reader
{
public:
    Reader(const uint8_t *data, size_t len) : m_p(data), m_len(len) {}
    bool ok() const { return m_ok; }
    size_t offset() const { return m_off; }
    size_t remaining() const { return m_len - m_off; }
    bool raw(void *out, size_t n)
    {
        if (!m_ok || n > remaining())
            return m_ok = false;
        std::memcpy(out, m_p + m_off, n);
        m_off += n;
        return true;
    }
    uint8_t u8()
    {
        uint8_t v = 0;
        raw(&v, 1);
        return v;
    }
    uint16_t u16()
    {
        uint16_t v = 0;
        raw(&v, 2);
        return v;
    }
    uint32_t u32()
    {
        uint32_t v = 0;
        raw(&v, 4);
        return v;
    }
    int32_t i32() { return int32_t(u32()); }
    int64_t i64()
    {
        int64_t v = 0;
        raw(&v, 8);
        return v;
    }
    float f32()
    {
        float v = 0;
        raw(&v, 4);
        return v;
    }
    bool str(size_t n, std::string *out)
    {
        if (!m_ok || n > remaining())
            return m_ok = false;
        out->assign(reinterpret_cast<const char *>(m_p + m_off), n);
        m_off += n;
        return true;
    }
    bool str16(std::string *out)
    {
        uint16_t n = u16();
        if (n > kMaxNameBytes)
            return m_ok = false;
        return str(n, out);
    }
    bool seek(size_t off)
    {
        if (off > m_len)
            return m_ok = false;
        m_off = off;
        return true;
    }

private:
    const uint8_t *m_p;
    size_t m_len;
    size_t m_off = 0;
    bool m_ok = true;
};

bool failWith(std::string *why, const char *text)
{
    if (why)
        *why = text;
    return false;
}

constexpr uint32_t kAnnounceMagic = 0x414E5244; // "DRNA"

// Appends `count` entries (port, name, groups) read from `r`; an entry must have a port and a
// name. The two texts name the fault for the message being decoded.
bool readEntries(Reader &r, uint32_t count, std::vector<SourceEntry> *out, std::string *why,
                 const char *truncated, const char *incomplete)
{
    for (uint32_t i = 0; i < count; ++i) {
        SourceEntry e;
        e.port = r.u16();
        r.str16(&e.name);
        r.str16(&e.groups);
        if (!r.ok())
            return failWith(why, truncated);
        if (e.port == 0 || e.name.empty())
            return failWith(why, incomplete);
        out->push_back(std::move(e));
    }
    return true;
}

} // namespace

uint32_t maxPayload(uint16_t type)
{
    switch (MsgType(type)) {
    case MsgType::Video:
        return kMaxVideoPayload;
    case MsgType::Audio:
        return kMaxAudioPayload;
    case MsgType::Metadata:
    case MsgType::ConnMeta:
    case MsgType::ListReply:
        return kMaxTextBytes + 64;
    case MsgType::Hello:
    case MsgType::HelloAck:
    case MsgType::Tally:
    case MsgType::ListQuery:
        return kMaxSmallPayload;
    }
    return 0;
}

Packet encodeHello(const HelloMsg &m)
{
    Writer w(MsgType::Hello);
    w.u32(m.version);
    w.i32(m.bandwidth);
    w.str16(m.sourceName);
    w.str16(m.receiverName);
    return w.finish();
}

bool decodeHello(const Payload &p, HelloMsg *out, std::string *why)
{
    Reader r(p.data(), p.size());
    out->version = r.u32();
    out->bandwidth = r.i32();
    r.str16(&out->sourceName);
    r.str16(&out->receiverName);
    if (!r.ok())
        return failWith(why, "truncated hello");
    if (out->version != kProtocolVersion)
        return failWith(why, "unsupported protocol version");
    return true;
}

Packet encodeHelloAck(const HelloAckMsg &m)
{
    Writer w(MsgType::HelloAck);
    w.u8(m.accepted ? 1 : 0);
    w.str16(m.sourceName);
    return w.finish();
}

bool decodeHelloAck(const Payload &p, HelloAckMsg *out, std::string *why)
{
    Reader r(p.data(), p.size());
    uint8_t accepted = r.u8();
    r.str16(&out->sourceName);
    if (!r.ok() || accepted > 1)
        return failWith(why, "malformed hello answer");
    out->accepted = accepted == 1;
    return true;
}

Packet encodeVideo(const VideoMsg &m, const uint8_t *pixels, int strideBytes)
{
    size_t line = size_t(m.xres) * 2;
    size_t data = line * size_t(m.yres);
    size_t meta = std::min<size_t>(m.metadata.size(), kMaxTextBytes);
    Writer w(MsgType::Video, kVideoFixed + data + meta);
    w.i32(m.xres);
    w.i32(m.yres);
    w.u32(m.fourCC);
    w.i32(m.frameRateN);
    w.i32(m.frameRateD);
    w.f32(m.aspect);
    w.i32(m.formatType);
    w.u32(uint32_t(data));
    w.i64(m.timecode);
    w.i64(m.timestamp);
    w.u32(uint32_t(meta));
    w.padTo(kVideoFixed);
    auto &buf = w.buffer();
    size_t at = buf.size();
    buf.resize(at + data);
    if (size_t(strideBytes) == line) {
        std::memcpy(buf.data() + at, pixels, data);
    } else {
        for (int y = 0; y < m.yres; ++y)
            std::memcpy(buf.data() + at + size_t(y) * line,
                        pixels + size_t(y) * size_t(strideBytes), line);
    }
    w.raw(m.metadata.data(), meta);
    return w.finish();
}

bool decodeVideo(const Payload &p, VideoMsg *out, std::string *why)
{
    Reader r(p.data(), p.size());
    out->xres = r.i32();
    out->yres = r.i32();
    out->fourCC = r.u32();
    out->frameRateN = r.i32();
    out->frameRateD = r.i32();
    out->aspect = r.f32();
    out->formatType = r.i32();
    uint32_t dataLen = r.u32();
    out->timecode = r.i64();
    out->timestamp = r.i64();
    uint32_t metaLen = r.u32();
    if (!r.ok() || p.size() < kVideoFixed)
        return failWith(why, "truncated video header");
    if (out->xres <= 0 || out->yres <= 0 || uint32_t(out->xres) > kMaxVideoWidth ||
        uint32_t(out->yres) > kMaxVideoHeight || (out->xres & 1))
        return failWith(why, "video size out of range");
    if (dataLen != uint32_t(out->xres) * uint32_t(out->yres) * 2 || metaLen > kMaxTextBytes)
        return failWith(why, "video data length does not match its size");
    if (uint64_t(kVideoFixed) + dataLen + metaLen != p.size())
        return failWith(why, "video payload length mismatch");
    if (out->frameRateN <= 0 || out->frameRateD <= 0)
        return failWith(why, "bad frame rate");
    out->pixels = p.data() + kVideoFixed;
    r.seek(kVideoFixed + dataLen);
    r.str(metaLen, &out->metadata);
    return r.ok() || failWith(why, "truncated video metadata");
}

Packet encodeAudio(const AudioMsg &m, const float *planar, int strideBytes)
{
    size_t chan = size_t(m.samples) * 4;
    size_t data = chan * size_t(m.channels);
    size_t meta = std::min<size_t>(m.metadata.size(), kMaxTextBytes);
    Writer w(MsgType::Audio, kAudioFixed + data + meta);
    w.i32(m.sampleRate);
    w.i32(m.channels);
    w.i32(m.samples);
    w.u32(uint32_t(meta));
    w.i64(m.timecode);
    w.i64(m.timestamp);
    w.padTo(kAudioFixed);
    const uint8_t *base = reinterpret_cast<const uint8_t *>(planar);
    for (int c = 0; c < m.channels; ++c)
        w.raw(base + size_t(c) * size_t(strideBytes), chan);
    w.raw(m.metadata.data(), meta);
    return w.finish();
}

bool decodeAudio(const Payload &p, AudioMsg *out, std::string *why)
{
    Reader r(p.data(), p.size());
    out->sampleRate = r.i32();
    out->channels = r.i32();
    out->samples = r.i32();
    uint32_t metaLen = r.u32();
    out->timecode = r.i64();
    out->timestamp = r.i64();
    if (!r.ok() || p.size() < kAudioFixed)
        return failWith(why, "truncated audio header");
    if (out->sampleRate < 1000 || out->sampleRate > 384000 || out->channels < 1 ||
        uint32_t(out->channels) > kMaxAudioChannels || out->samples < 1 ||
        out->samples > int32_t(kMaxAudioBytes / 4))
        return failWith(why, "audio format out of range");
    uint64_t data = uint64_t(out->samples) * uint64_t(out->channels) * 4;
    if (data > kMaxAudioBytes || metaLen > kMaxTextBytes)
        return failWith(why, "audio block too large");
    if (kAudioFixed + data + metaLen != p.size())
        return failWith(why, "audio payload length mismatch");
    out->data = reinterpret_cast<const float *>(p.data() + kAudioFixed);
    r.seek(kAudioFixed + size_t(data));
    r.str(metaLen, &out->metadata);
    return r.ok() || failWith(why, "truncated audio metadata");
}

Packet encodeText(MsgType type, int64_t timecode, const std::string &text)
{
    size_t n = std::min<size_t>(text.size(), kMaxTextBytes);
    Writer w(type, 8 + n);
    w.i64(timecode);
    w.raw(text.data(), n);
    return w.finish();
}

bool decodeText(const Payload &p, TextMsg *out, std::string *why)
{
    Reader r(p.data(), p.size());
    out->timecode = r.i64();
    if (!r.ok() || p.size() - 8 > kMaxTextBytes)
        return failWith(why, "malformed text message");
    r.str(r.remaining(), &out->text);
    // Embedded NULs would truncate the text seen through the C interface; cut there.
    auto nul = out->text.find('\0');
    if (nul != std::string::npos)
        out->text.resize(nul);
    return true;
}

Packet encodeTally(bool program, bool preview)
{
    Writer w(MsgType::Tally);
    w.u8(program ? 1 : 0);
    w.u8(preview ? 1 : 0);
    return w.finish();
}

bool decodeTally(const Payload &p, bool *program, bool *preview, std::string *why)
{
    if (p.size() != 2 || p[0] > 1 || p[1] > 1)
        return failWith(why, "malformed tally");
    *program = p[0] == 1;
    *preview = p[1] == 1;
    return true;
}

Packet encodeListQuery()
{
    Writer w(MsgType::ListQuery);
    w.u32(kProtocolVersion);
    return w.finish();
}

Packet encodeListReply(const std::vector<SourceEntry> &entries)
{
    Writer w(MsgType::ListReply);
    size_t count = 0;
    for (const auto &e : entries) {
        if (w.payloadSize() + 8 + e.name.size() + e.groups.size() > kMaxTextBytes)
            break;
        ++count;
    }
    w.u32(uint32_t(count));
    for (size_t i = 0; i < count; ++i) {
        w.u16(entries[i].port);
        w.str16(entries[i].name);
        w.str16(entries[i].groups);
    }
    return w.finish();
}

bool decodeListReply(const Payload &p, std::vector<SourceEntry> *out, std::string *why)
{
    Reader r(p.data(), p.size());
    uint32_t count = r.u32();
    if (!r.ok() || count > p.size() / 6) // an entry takes at least 6 bytes
        return failWith(why, "malformed source list");
    out->clear();
    return readEntries(r, count, out, why, "truncated source list",
                       "source list entry without name or port");
}

std::vector<std::vector<uint8_t>> encodeAnnouncements(AnnounceKind kind,
                                                      const std::vector<SourceEntry> &entries)
{
    std::vector<std::vector<uint8_t>> out;
    auto start = [&] {
        std::vector<uint8_t> d(8, 0);
        std::memcpy(d.data(), &kAnnounceMagic, 4);
        d[4] = uint8_t(kProtocolVersion);
        d[5] = uint8_t(kind);
        return d;
    };
    std::vector<uint8_t> d = start();
    uint16_t count = 0;
    auto flush = [&] {
        std::memcpy(d.data() + 6, &count, 2);
        out.push_back(std::move(d));
        d = start();
        count = 0;
    };
    for (const auto &e : entries) {
        size_t need = 2 + 2 + e.name.size() + 2 + e.groups.size();
        if (need + 8 > kMaxDatagram)
            continue; // cannot be announced; names are far shorter in practice
        if (d.size() + need > kMaxDatagram)
            flush();
        uint16_t n;
        d.insert(d.end(), reinterpret_cast<const uint8_t *>(&e.port),
                 reinterpret_cast<const uint8_t *>(&e.port) + 2);
        n = uint16_t(e.name.size());
        d.insert(d.end(), reinterpret_cast<uint8_t *>(&n), reinterpret_cast<uint8_t *>(&n) + 2);
        d.insert(d.end(), e.name.begin(), e.name.end());
        n = uint16_t(e.groups.size());
        d.insert(d.end(), reinterpret_cast<uint8_t *>(&n), reinterpret_cast<uint8_t *>(&n) + 2);
        d.insert(d.end(), e.groups.begin(), e.groups.end());
        ++count;
    }
    if (count > 0 || out.empty())
        flush();
    return out;
}

bool decodeAnnouncement(const uint8_t *data, size_t len, AnnounceKind *kind,
                        std::vector<SourceEntry> *entries, std::string *why)
{
    Reader r(data, len);
    uint32_t magic = r.u32();
    uint8_t version = r.u8();
    uint8_t k = r.u8();
    uint16_t count = r.u16();
    if (!r.ok() || magic != kAnnounceMagic)
        return failWith(why, "not an announcement");
    if (version != kProtocolVersion)
        return failWith(why, "unsupported announcement version");
    if (k < 1 || k > 3)
        return failWith(why, "unknown announcement kind");
    *kind = AnnounceKind(k);
    entries->clear();
    if (count > len / 6)
        return failWith(why, "announcement count too large");
    return readEntries(r, count, entries, why, "truncated announcement",
                       "announcement entry without name or port");
}

std::string xmlAttribute(const std::string &xml, const std::string &element,
                         const std::string &attribute)
{
    std::string open = "<" + element;
    size_t pos = 0;
    while ((pos = xml.find(open, pos)) != std::string::npos) {
        size_t p = pos + open.size();
        if (p < xml.size() && (xml[p] == ' ' || xml[p] == '\t' || xml[p] == '\n' ||
                               xml[p] == '\r' || xml[p] == '/' || xml[p] == '>'))
            break;
        pos = p;
    }
    if (pos == std::string::npos)
        return {};
    size_t p = pos + open.size();
    while (p < xml.size() && xml[p] != '>') {
        while (p < xml.size() && (xml[p] == ' ' || xml[p] == '\t' || xml[p] == '\n' ||
                                  xml[p] == '\r' || xml[p] == '/'))
            ++p;
        size_t nameStart = p;
        while (p < xml.size() && xml[p] != '=' && xml[p] != '>' && xml[p] != ' ' && xml[p] != '/')
            ++p;
        std::string name = xml.substr(nameStart, p - nameStart);
        if (p >= xml.size() || xml[p] != '=') {
            if (p == nameStart && p < xml.size() && xml[p] != '>')
                ++p; // stray character: step over it
            continue;
        }
        ++p;
        if (p >= xml.size() || (xml[p] != '"' && xml[p] != '\''))
            return {};
        char quote = xml[p++];
        size_t end = xml.find(quote, p);
        if (end == std::string::npos)
            return {};
        std::string value = xml.substr(p, end - p);
        p = end + 1;
        if (name == attribute) {
            return xmlUnescape(value);
        }
    }
    return {};
}

} // namespace drndi
