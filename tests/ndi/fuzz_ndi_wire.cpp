// libFuzzer target for everything a peer can send the runtime: the message stream of a
// connection (framing plus every payload decoder), the discovery datagrams and the XML
// attribute reader. The first input byte picks the part; for the stream, the next bytes
// also decide how the data is split into reads.
#include "WireFormat.h"
#include "WireParser.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace drndi;

namespace {

void decodeAny(uint16_t type, const Payload &p)
{
    std::string why;
    switch (MsgType(type)) {
    case MsgType::Hello: {
        HelloMsg m;
        decodeHello(p, &m, &why);
        break;
    }
    case MsgType::HelloAck: {
        HelloAckMsg m;
        decodeHelloAck(p, &m, &why);
        break;
    }
    case MsgType::Video: {
        VideoMsg m;
        if (decodeVideo(p, &m, &why)) {
            // Touch the first and last pixel the message claims to have.
            volatile uint8_t first = m.pixels[0];
            volatile uint8_t last = m.pixels[size_t(m.xres) * size_t(m.yres) * 2 - 1];
            (void)first;
            (void)last;
        }
        break;
    }
    case MsgType::Audio: {
        AudioMsg m;
        if (decodeAudio(p, &m, &why)) {
            volatile float last = m.data[size_t(m.samples) * size_t(m.channels) - 1];
            (void)last;
        }
        break;
    }
    case MsgType::Metadata:
    case MsgType::ConnMeta: {
        TextMsg m;
        if (decodeText(p, &m, &why))
            xmlAttribute(m.text, "ndi_capabilities", "web_control");
        break;
    }
    case MsgType::Tally: {
        bool a, b;
        decodeTally(p, &a, &b, &why);
        break;
    }
    case MsgType::ListReply: {
        std::vector<SourceEntry> list;
        decodeListReply(p, &list, &why);
        break;
    }
    case MsgType::ListQuery:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t mode = data[0] % 3;
    const size_t chunk = size_t(data[1]) + 1;
    data += 2;
    size -= 2;
    if (mode == 0) {
        WireParser parser;
        for (size_t at = 0; at < size; at += chunk) {
            size_t n = std::min(chunk, size - at);
            bool ok = parser.feed(data + at, n, [](uint16_t type, PayloadPtr p) {
                decodeAny(type, *p);
                return true;
            });
            if (!ok)
                break;
        }
    } else if (mode == 1) {
        AnnounceKind kind;
        std::vector<SourceEntry> entries;
        std::string why;
        decodeAnnouncement(data, size, &kind, &entries, &why);
    } else {
        std::string text(reinterpret_cast<const char *>(data), size);
        xmlAttribute(text, "ndi_capabilities", "ntk_ptz");
        xmlAttribute(text, "a", "b");
    }
    return 0;
}
