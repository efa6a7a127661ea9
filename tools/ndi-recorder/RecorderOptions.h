// Command line of ndi-recorder (see usage()). Parsing never exits or throws: parse()
// returns the options or an error text naming the bad argument.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

struct RecorderOptions
{
    enum class Codec
    {
        H264,
        SpeedHq,
        UtVideo
    };

    std::string source;  // NDI source name, "MACHINE (Source)" or just "Source"
    std::string address; // "host:port" hint; empty: find the source by name
    std::string output;  // first file
    bool autostart = true;
    bool thumbnail = true; // accepted for compatibility; no thumbnails are written
    Codec codec = Codec::H264;
    bool cfr = true;          // constant frame rate: missing frames repeat the previous one
    int64_t splitSizeMiB = 0; // 0: no split by size
    double splitTimeS = 0;    // 0: no split by time
    int maxQueueMiB = 256;    // bytes waiting for the disk; an eighth for pictures waiting
    double timeoutS = 30;     // for finding the source; 0 waits for ever
    bool help = false;

    static const char *codecName(Codec codec);
    static std::string usage();
    static std::variant<RecorderOptions, std::string> parse(const std::vector<std::string> &args);
};
