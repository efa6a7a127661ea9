#include "ProtocolOutput.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

std::mutex &lock()
{
    static std::mutex m;
    return m;
}

} // namespace

std::string ProtocolOutput::escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            out += "&#9;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string ProtocolOutput::attr(std::string_view name, std::string_view value)
{
    return " " + std::string(name) + "=\"" + escape(value) + "\"";
}

std::string ProtocolOutput::attr(std::string_view name, long long value)
{
    return attr(name, std::to_string(value));
}

void ProtocolOutput::element(const std::string &body)
{
    const std::string line = "<" + body + "/>\n";
    std::lock_guard guard(lock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void ProtocolOutput::progress(const std::string &text)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const int ms = int(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min,
                  local.tm_sec, ms);
    const std::string line = stamp + text + "\n";
    std::lock_guard guard(lock());
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
