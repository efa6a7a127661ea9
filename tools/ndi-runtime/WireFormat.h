// The runtime's wire format: length-prefixed messages on TCP stream connections and
// datagrams of the multicast announcement. All integers little-endian.
//
// Message = 16-byte header {u32 magic "DRN1", u16 type, u16 zero, u32 payload length,
// u32 zero} + payload. Each type has its own payload limit, so a peer can never make us
// allocate more than kMaxVideoPayload for one message. Decoders check every length against
// the payload they are given and return false on anything inconsistent.
#pragma once

#include "BufferPool.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drndi {

constexpr uint32_t kWireMagic = 0x314E5244; // "DRN1"
constexpr uint32_t kProtocolVersion = 1;
constexpr size_t kHeaderSize = 16;

enum class MsgType : uint16_t
{
    Hello = 1,     // receiver -> sender: version, bandwidth, wanted source name
    HelloAck = 2,  // sender -> receiver: accepted or refused, the sender's full name
    Video = 3,     // sender -> receiver: one UYVY frame
    Audio = 4,     // sender -> receiver: planar float audio
    Metadata = 5,  // both ways: XML text
    Tally = 6,     // receiver -> sender
    ConnMeta = 7,  // sender -> receiver: the whole connection metadata text
    ListQuery = 8, // finder -> host: which sources run on this host?
    ListReply = 9, // host -> finder
};

constexpr uint32_t kMaxVideoWidth = 7680;
constexpr uint32_t kMaxVideoHeight = 4320;
constexpr uint32_t kMaxTextBytes = 1u << 20; // metadata, connection metadata
constexpr uint32_t kMaxAudioChannels = 64;
constexpr uint32_t kMaxAudioBytes = 16u << 20;
constexpr uint32_t kVideoFixed = 64; // pixel data starts here (16-byte aligned)
constexpr uint32_t kAudioFixed = 48; // sample data starts here
constexpr uint32_t kMaxVideoPayload =
    kVideoFixed + kMaxVideoWidth * kMaxVideoHeight * 2 + kMaxTextBytes;
constexpr uint32_t kMaxAudioPayload = kAudioFixed + kMaxAudioBytes + kMaxTextBytes;
constexpr uint32_t kMaxSmallPayload = 64u << 10; // hello, ack, tally, list query
constexpr uint32_t kMaxNameBytes = 1024;

// Largest payload accepted for a type; 0 for unknown types.
uint32_t maxPayload(uint16_t type);

using Payload = ByteBuffer;
using PayloadPtr = std::shared_ptr<Payload>;

// A complete encoded message (header + payload), shared between connections.
using Packet = std::shared_ptr<const ByteBuffer>;

struct HelloMsg
{
    uint32_t version = kProtocolVersion;
    int32_t bandwidth = 100;
    std::string sourceName;   // full name wanted; empty = whatever listens there
    std::string receiverName; // for the sender's logs
};

struct HelloAckMsg
{
    bool accepted = false;
    std::string sourceName;
};

// Fields of a video message; `pixels` points into the payload it was decoded from.
struct VideoMsg
{
    int32_t xres = 0, yres = 0;
    uint32_t fourCC = 0;
    int32_t frameRateN = 0, frameRateD = 0;
    float aspect = 0;
    int32_t formatType = 1;
    int64_t timecode = 0, timestamp = 0;
    const uint8_t *pixels = nullptr; // UYVY, stride 2 * xres
    std::string metadata;
};

struct AudioMsg
{
    int32_t sampleRate = 0, channels = 0, samples = 0;
    int64_t timecode = 0, timestamp = 0;
    const float *data = nullptr; // planar, channel c at data + c * samples
    std::string metadata;
};

struct TextMsg
{
    int64_t timecode = 0;
    std::string text;
};

struct SourceEntry
{
    std::string name;   // full name "HOST (Source)"
    std::string groups; // comma separated
    uint16_t port = 0;
    bool operator==(const SourceEntry &o) const
    {
        return name == o.name && groups == o.groups && port == o.port;
    }
};

// Encoders produce a complete message.
Packet encodeHello(const HelloMsg &m);
Packet encodeHelloAck(const HelloAckMsg &m);
// `pixels` with its own stride (bytes per line); written packed.
Packet encodeVideo(const VideoMsg &m, const uint8_t *pixels, int strideBytes);
// `planar` channel c at planar + c * strideBytes.
Packet encodeAudio(const AudioMsg &m, const float *planar, int strideBytes);
Packet encodeText(MsgType type, int64_t timecode, const std::string &text);
Packet encodeTally(bool program, bool preview);
Packet encodeListQuery();
Packet encodeListReply(const std::vector<SourceEntry> &entries);

// Decoders: false when the payload is malformed. `why` says what was wrong.
bool decodeHello(const Payload &p, HelloMsg *out, std::string *why);
bool decodeHelloAck(const Payload &p, HelloAckMsg *out, std::string *why);
bool decodeVideo(const Payload &p, VideoMsg *out, std::string *why);
bool decodeAudio(const Payload &p, AudioMsg *out, std::string *why);
bool decodeText(const Payload &p, TextMsg *out, std::string *why);
bool decodeTally(const Payload &p, bool *program, bool *preview, std::string *why);
bool decodeListReply(const Payload &p, std::vector<SourceEntry> *out, std::string *why);

// Multicast announcement datagrams ("DRNA"): announce (sources of one process), bye (they
// ended) and query (a finder asks everyone to announce now).
enum class AnnounceKind : uint8_t
{
    Announce = 1,
    Bye = 2,
    Query = 3
};
constexpr size_t kMaxDatagram = 1400;
// Splits the entries into as many datagrams as needed (each at most kMaxDatagram bytes).
std::vector<std::vector<uint8_t>> encodeAnnouncements(AnnounceKind kind,
                                                      const std::vector<SourceEntry> &entries);
bool decodeAnnouncement(const uint8_t *data, size_t len, AnnounceKind *kind,
                        std::vector<SourceEntry> *entries, std::string *why);

// Attributes of the first element `element` in an XML text, e.g. web_control of
// <ndi_capabilities web_control="..."/>. Tolerates malformed text (returns what it found).
std::string xmlAttribute(const std::string &xml, const std::string &element,
                         const std::string &attribute);

} // namespace drndi
