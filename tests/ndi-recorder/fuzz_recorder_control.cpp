// libFuzzer target: the recorder's standard-input parser, fed in pieces as reads deliver
// them. Every command must be well formed: a chop has a non-empty path without NUL, an
// error has a text.
#include "ControlParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ControlParser parser;
    std::vector<ControlCommand> out;
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    // The first byte picks the read size, so splits inside lines and entities are covered.
    const size_t step = size ? size_t(data[0] % 61) + 1 : 1;
    for (size_t at = 0; at < all.size(); at += step)
        parser.feed(all.substr(at, step), out);
    parser.finish(out);
    for (const ControlCommand &c : out) {
        if (c.type == ControlCommand::Type::Chop &&
            (c.filename.empty() || c.filename.find('\0') != std::string::npos))
            std::abort();
        if (c.type == ControlCommand::Type::Error && c.error.empty())
            std::abort();
    }
    return 0;
}
