// What ndi-recorder tells its parent: one XML element a line on standard output (flushed at
// once), and progress lines "[hh:mm:ss.zzz] text" (local time) on standard error.
//
// Threads: any; one process-wide lock keeps lines whole.
#pragma once

#include <string>
#include <string_view>

class ProtocolOutput
{
public:
    // Writes "<" + body + "/>" and a newline to stdout. Build bodies with attr().
    static void element(const std::string &body);
    // ` name="value"` with the value escaped for an XML attribute.
    static std::string attr(std::string_view name, std::string_view value);
    static std::string attr(std::string_view name, long long value);
    // One progress line on stderr.
    static void progress(const std::string &text);
    static std::string escape(std::string_view text);
};
