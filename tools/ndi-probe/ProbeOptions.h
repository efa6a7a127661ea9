// Command line of ndi-probe (see usage()). Parsing never exits or throws: parse() returns
// the options or an error text naming the bad argument.
#pragma once

#include <string>
#include <variant>
#include <vector>

struct ProbeOptions
{
    enum class Mode
    {
        None,
        List,
        Recv,
        Runtime
    };
    Mode mode = Mode::None;
    std::string groups;   // empty: the runtime's default groups
    std::string extraIps; // comma separated
    double seconds = -1;  // < 0: the mode's default (list 2 s, receive 2 s)
    double findSeconds = 5;
    bool watch = false;     // list: print +/- lines as sources come and go
    std::string until;      // list: stop as soon as this source is listed
    std::string recvName;   // recv: the source (full name or the part in parentheses)
    bool low = false;       // recv: the low-bandwidth proxy stream
    bool audioOnly = false; // recv: audio-only bandwidth
    bool metadataOnly = false;
    bool tallyProgram = false;
    bool tallyPreview = false;
    bool setTally = false;
    std::vector<std::string> sendMetadata; // recv: sent upstream once connected
    bool help = false;

    double listSeconds() const { return seconds >= 0 ? seconds : 2.0; }
    double recvSeconds() const { return seconds >= 0 ? seconds : 2.0; }

    static std::string usage();
    static std::variant<ProbeOptions, std::string> parse(const std::vector<std::string> &args);
};

// True when `fullName` ("MACHINE (Source)") is `wanted`, or its part in parentheses after
// the host name is `wanted`.
bool sourceNameMatches(const std::string &fullName, const std::string &wanted);
