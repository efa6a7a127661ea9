#include "ProtocolOutput.h"

#include "ndi/XmlText.h"

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
    // The XML entities, and line breaks and tabs as character references: every element
    // must stay on one output line.
    std::string out;
    for (const char c : drndi::xmlEscape(text)) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\r')
            out += "&#13;";
        else if (c == '\t')
            out += "&#9;";
        else
            out += c;
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
