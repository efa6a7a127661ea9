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

// Every decoder sees every payload, whatever its type says: none may read past it.
void decodeAll(const Payload &p)
{
    std::string why;
    HelloMsg hello;
    HelloAckMsg ack;
    TextMsg text;
    bool program, preview;
    std::vector<SourceEntry> list;
    decodeHello(p, &hello, &why);
    decodeHelloAck(p, &ack, &why);
    decodeTally(p, &program, &preview, &why);
    decodeListReply(p, &list, &why);
    if (decodeText(p, &text, &why))
        xmlAttribute(text.text, "ndi_capabilities", "web_control");
    VideoMsg video;
    if (decodeVideo(p, &video, &why)) {
        // Touch the first and last pixel the message claims to have.
        volatile uint8_t first = video.pixels[0];
        volatile uint8_t last = video.pixels[size_t(video.xres) * size_t(video.yres) * 2 - 1];
        (void)first;
        (void)last;
    }
    AudioMsg audio;
    if (decodeAudio(p, &audio, &why)) {
        volatile float last = audio.data[size_t(audio.samples) * size_t(audio.channels) - 1];
        (void)last;
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
            bool ok = parser.feed(data + at, n, [](uint16_t, PayloadPtr p) {
                decodeAll(*p);
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
