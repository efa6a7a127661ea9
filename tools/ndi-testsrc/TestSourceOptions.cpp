#include "TestSourceOptions.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool toInt(const std::string &s, int &out)
{
    const char *end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end;
}

bool toDouble(const std::string &s, double &out)
{
    const char *end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end && std::isfinite(out);
}

// "A<sep>B" with two positive integers.
bool toPair(const std::string &s, char sep, int &a, int &b)
{
    const size_t at = s.find(sep);
    return at != std::string::npos && toInt(s.substr(0, at), a) && toInt(s.substr(at + 1), b) &&
           a > 0 && b > 0;
}

} // namespace

std::string TestSourceOptions::usage()
{
    return "Usage: ndi-testsrc --name NAME [--name NAME ...] [options]\n"
           "Sends one test source per --name: colour bars (white, yellow, cyan, green,\n"
           "magenta, red, blue), a moving box, a burnt-in frame counter, and a 48 kHz tone.\n"
           "  --name NAME           source name (repeatable, one source each)\n"
           "  --resolution WxH      picture size (default 1920x1080; even width)\n"
           "  --fps N/D             frame rate (default 30000/1001; also N alone)\n"
           "  --tone HZ[,HZ...]     tone per channel; one value for all channels (default 1000)\n"
           "  --channels N          audio channels (default 2, 1..16)\n"
           "  --level DBFS          tone level, float sample 1.0 = 0 dBFS (default -20)\n"
           "  --silence             send silent audio\n"
           "  --no-audio            send no audio at all\n"
           "  --no-video            send no video at all\n"
           "  --groups G1,G2        groups to announce in (default: the runtime's default)\n"
           "  --web-url URL         announce a web control address\n"
           "  --ptz                 announce PTZ support\n"
           "  --maker               send the Varimont status element and answer ntp-set\n"
           "  --maker-server S      NTP server reported before any ntp-set (default none)\n"
           "  --maker-bitrate KBPS  bitrate reported (default 8000)\n"
           "  --maker-sync N        fixed sync value (default 1 with a server, else 0)\n"
           "  --maker-interval MS   period of the status element (default 1000)\n"
           "  --seconds S           stop after S seconds (default: run until SIGTERM)\n"
           "  --late MS             once a second, send a frame MS ms (1 to 100) after its time;\n"
           "                        the frames behind it follow at once (a sender's hiccup)\n"
           "  --black FROM[:TO]     black picture from FROM to TO seconds (default: to the end)\n"
           "  --freeze FROM[:TO]    the same picture again (frames keep coming)\n"
           "  --mute FROM[:TO]      silent audio samples\n"
           "  --pause FROM[:TO]     no video frames\n"
           "  stdin lines \"black|freeze|mute|pause on|off\" switch them at run time\n"
           "  --help                this text\n";
}

const char *TestSourceOptions::effectName(int effect)
{
    static const char *const names[EffectCount] = {"black", "freeze", "mute", "pause"};
    return effect >= 0 && effect < EffectCount ? names[effect] : "";
}

std::variant<TestSourceOptions, std::string>
TestSourceOptions::parse(const std::vector<std::string> &args)
{
    TestSourceOptions o;
    int channels = -1;
    std::vector<double> tones;
    bool silence = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&](std::string &out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string v;
        const bool takesValue =
            a == "--name" || a == "--resolution" || a == "--fps" || a == "--tone" ||
            a == "--channels" || a == "--level" || a == "--groups" || a == "--web-url" ||
            a == "--maker-server" || a == "--maker-bitrate" || a == "--maker-sync" ||
            a == "--maker-interval" || a == "--seconds" || a == "--late" || a == "--black" ||
            a == "--freeze" || a == "--mute" || a == "--pause";
        if (takesValue && !value(v))
            return a + " needs a value";
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--name") {
            if (v.empty())
                return std::string("--name must not be empty");
            for (const auto &n : o.names) {
                if (n == v)
                    return "--name " + v + " given twice";
            }
            o.names.push_back(v);
        } else if (a == "--resolution") {
            if (!toPair(v, 'x', o.xres, o.yres) || o.xres % 2 || o.xres > 8192 || o.yres > 8192 ||
                o.yres < 108 || o.xres < 128)
                return "--resolution " + v + ": expected WxH, even W, 128x108 to 8192x8192";
        } else if (a == "--fps") {
            if (v.find('/') == std::string::npos) {
                o.fpsD = 1;
                if (!toInt(v, o.fpsN) || o.fpsN <= 0)
                    return "--fps " + v + ": expected N/D or N";
            } else if (!toPair(v, '/', o.fpsN, o.fpsD)) {
                return "--fps " + v + ": expected N/D or N";
            }
            if (double(o.fpsN) / o.fpsD > 240 || double(o.fpsN) / o.fpsD < 0.5)
                return "--fps " + v + ": rate must be between 0.5 and 240";
        } else if (a == "--tone") {
            tones.clear();
            size_t start = 0;
            while (true) {
                const size_t comma = v.find(',', start);
                double hz = 0;
                if (!toDouble(v.substr(start, comma - start), hz) || hz < 0 || hz >= 24000)
                    return "--tone " + v + ": expected frequencies from 0 to 24000 Hz";
                tones.push_back(hz);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == "--channels") {
            if (!toInt(v, channels) || channels < 1 || channels > 16)
                return "--channels " + v + ": expected 1 to 16";
        } else if (a == "--level") {
            if (!toDouble(v, o.levelDbfs) || o.levelDbfs > 0)
                return "--level " + v + ": expected a level in dBFS, at most 0";
        } else if (a == "--silence") {
            silence = true;
        } else if (a == "--no-audio") {
            o.audio = false;
        } else if (a == "--no-video") {
            o.video = false;
        } else if (a == "--groups") {
            o.groups = v;
        } else if (a == "--web-url") {
            o.webUrl = v;
        } else if (a == "--ptz") {
            o.ptz = true;
        } else if (a == "--maker") {
            o.maker = true;
        } else if (a == "--maker-server") {
            o.makerServer = v;
        } else if (a == "--maker-bitrate") {
            if (!toInt(v, o.makerBitrateKbps) || o.makerBitrateKbps < 0)
                return "--maker-bitrate " + v + ": expected a number";
        } else if (a == "--maker-sync") {
            if (!toInt(v, o.makerSync) || o.makerSync < 0)
                return "--maker-sync " + v + ": expected a number";
        } else if (a == "--maker-interval") {
            if (!toInt(v, o.makerIntervalMs) || o.makerIntervalMs < 10)
                return "--maker-interval " + v + ": expected at least 10 ms";
        } else if (a == "--seconds") {
            if (!toDouble(v, o.seconds) || o.seconds < 0)
                return "--seconds " + v + ": expected a number of seconds";
        } else if (a == "--late") {
            if (!toInt(v, o.lateMs) || o.lateMs < 1 || o.lateMs > 100)
                return "--late " + v + ": expected 1 to 100 ms";
        } else if (a == "--black" || a == "--freeze" || a == "--mute" || a == "--pause") {
            int effect = 0;
            while (a != std::string("--") + effectName(effect))
                ++effect;
            Span span;
            const size_t colon = v.find(':');
            if (!toDouble(v.substr(0, colon), span.from) || span.from < 0 ||
                (colon != std::string::npos &&
                 (!toDouble(v.substr(colon + 1), span.to) || span.to <= span.from)))
                return a + " " + v + ": expected FROM[:TO] seconds, TO after FROM";
            o.effects[size_t(effect)] = span;
        } else {
            return "unknown argument " + a;
        }
    }
    if (o.help)
        return o;
    if (o.names.empty())
        return std::string("at least one --name is needed");
    if (!o.audio && !o.video)
        return std::string("--no-audio and --no-video leave nothing to send");
    if (tones.empty())
        tones = {1000.0};
    if (channels < 0)
        channels = tones.size() > 1 ? int(tones.size()) : 2;
    if (tones.size() == 1)
        tones.assign(size_t(channels), tones[0]);
    if (int(tones.size()) != channels)
        return "--tone gives " + std::to_string(tones.size()) + " frequencies for " +
               std::to_string(channels) + " channels";
    if (silence)
        o.levelDbfs = -std::numeric_limits<double>::infinity();
    o.toneHz = tones;
    return o;
}
