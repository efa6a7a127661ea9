// Command line of ndi-testsrc (see usage()). Parsing never exits or throws: parse()
// returns the options or an error text naming the bad argument.
#pragma once

#include <array>
#include <limits>
#include <string>
#include <variant>
#include <vector>

struct TestSourceOptions
{
    std::vector<std::string> names; // one source per name
    int xres = 1920;
    int yres = 1080;
    int fpsN = 30000;
    int fpsD = 1001;
    std::vector<double> toneHz = {1000.0, 1000.0}; // one entry per channel
    double levelDbfs = -20.0;
    bool audio = true;
    bool video = true;
    std::string groups; // empty: the runtime's default groups
    std::string webUrl; // connection metadata: web control address
    bool ptz = false;   // connection metadata: PTZ supported
    bool maker = false; // send the maker's status element and answer ntp-set
    std::string makerServer;
    int makerBitrateKbps = 8000;
    int makerSync = -1; // < 0: derived from the server
    int makerIntervalMs = 1000;
    double seconds = 0; // run time limit; 0 = until SIGTERM/SIGINT
    int lateMs = 0;     // > 0: once a second, one frame is sent this late

    // Faults a monitor must notice, each on during a time window (seconds since start;
    // `from` < 0: never) and switchable at run time by a line on stdin ("black on").
    enum Effect
    {
        Black = 0, // a black picture
        Freeze,    // the same picture again (new timecodes)
        Mute,      // silent audio samples (audio frames still sent)
        Pause,     // no video frames at all
        EffectCount
    };
    struct Span
    {
        double from = -1;
        double to = std::numeric_limits<double>::infinity();
        bool covers(double t) const { return from >= 0 && t >= from && t < to; }
    };
    std::array<Span, EffectCount> effects;
    static const char *effectName(int effect); // "black", "freeze", "mute", "pause"
    bool help = false;

    static std::string usage();
    static std::variant<TestSourceOptions, std::string> parse(const std::vector<std::string> &args);
};
