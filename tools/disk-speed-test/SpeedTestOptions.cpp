#include "SpeedTestOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Parses a whole decimal number in [minValue, maxValue]; false on anything else.
bool parseNumber(const char *text, std::int64_t minValue, std::int64_t maxValue, std::int64_t &out)
{
    if (text == nullptr || *text == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minValue || value > maxValue)
        return false;
    out = value;
    return true;
}

} // namespace

bool SpeedTestOptions::parse(int argc, char **argv, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            error = "option " + name + " needs a value";
            return false;
        }
        const char *value = argv[++i];
        std::int64_t number = 0;
        if (name == "-path") {
            path = value;
            continue;
        }
        bool ok = false;
        if (name == "-bs") {
            ok = parseNumber(value, 512, std::int64_t(1) << 30, number);
            blockBytes = number;
        } else if (name == "-time") {
            ok = parseNumber(value, 1, std::int64_t(24) * 3600 * 1000, number);
            timeMs = number;
        } else if (name == "-thread") {
            ok = parseNumber(value, 1, 64, number);
            threads = int(number);
        } else if (name == "-span") {
            ok = parseNumber(value, 1, std::int64_t(1) << 30, number);
            spanMiB = number;
        } else {
            error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (path.empty()) {
        error = "-path is required";
        return false;
    }
    return true;
}
