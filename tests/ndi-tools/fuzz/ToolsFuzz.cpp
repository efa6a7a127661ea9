// libFuzzer target for the inputs the tools take from the network: metadata texts that
// ndi-testsrc parses (ntp-set requests, entities) and pictures that ndi-probe reads the
// counter and bars from. Input: 4 bytes of frame geometry, then the payload.
#include "MakerMetadata.h"
#include "TestPattern.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    MakerMetadata maker("", 1, -1);
    maker.handle(text);
    (void)maker.element();
    (void)MakerMetadata::unescape(text);
    if (size < 4)
        return 0;
    // Geometry from the first bytes; the frame holds exactly yres rows of the stride.
    const int xres = 2 * (1 + data[0] % 64);
    const int yres = 54 + data[1] % 64;
    const int stride = (data[2] % 4 == 0) ? 0 : xres * 2 + (data[3] % 8) - 2;
    const size_t rowBytes = size_t(stride > 0 ? stride : xres * 2);
    std::vector<uint8_t> frame(rowBytes * size_t(yres));
    const size_t payload = size - 4;
    for (size_t i = 0; payload > 0 && i < frame.size(); ++i)
        frame[i] = data[4 + i % payload];
    (void)TestPattern::readCounter(frame.data(), xres, yres, stride);
    (void)TestPattern::checkBars(frame.data(), xres, yres, stride);
    return 0;
}
