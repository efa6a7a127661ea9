#include "RecorderOptions.h"

#include <charconv>
#include <cmath>

namespace {

bool toInt64(const std::string &s, int64_t &out)
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

} // namespace

const char *RecorderOptions::codecName(Codec codec)
{
    switch (codec) {
    case Codec::SpeedHq:
        return "speedhq";
    case Codec::UtVideo:
        return "utvideo";
    default:
        return "h264";
    }
}

std::string RecorderOptions::usage()
{
    return "Usage: ndi-recorder -i SOURCE_NAME [-u ADDRESS] -o FILE.mov [-noautostart]\n"
           "                    [-nothumbnail] [-codec h264|speedhq|utvideo] [-cfr 0|1]\n"
           "                    [-split-size MIB] [-split-time S] [-max-queue-mib N] [-timeout S]\n"
           "Records one NDI source to fragmented MOV files (crash safe; see README).\n"
           "  -i NAME            source to record (full name, or the part in parentheses)\n"
           "  -u ADDRESS         connect to host:port instead of waiting for discovery\n"
           "  -o FILE            first output file (parent folders are created)\n"
           "  -noautostart       connect, then wait for <start/> on standard input\n"
           "  -nothumbnail       accepted; no thumbnails are written\n"
           "  -codec C           h264 (default, 4:2:0), speedhq (4:2:2), utvideo (lossless 4:2:2)\n"
           "  -cfr 0|1           1 (default): missing frames repeat the previous picture\n"
           "  -split-size MIB    go on in a new file when the current one reaches MIB (0: never)\n"
           "  -split-time S      go on in a new file every S seconds (0: never)\n"
           "  -max-queue-mib N   bound of the bytes waiting for the disk (default 256,\n"
           "                     16..65536); pictures waiting for the encoder get an eighth\n"
           "  -timeout S         give up when the source is not found within S s (default 30;\n"
           "                     0 waits for ever)\n"
           "Standard input, one element a line: <start/>, <record_chop filename=\"PATH\"/>,\n"
           "<exit/>; end of input stops. Exit codes: 0 stopped, 1 no NDI runtime or internal\n"
           "error, 2 bad command line, 3 source not found, 4 disk full, 5 cannot write,\n"
           "6 disk too slow.\n";
}

std::variant<RecorderOptions, std::string>
RecorderOptions::parse(const std::vector<std::string> &args)
{
    RecorderOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-h" || a == "-help" || a == "--help") {
            o.help = true;
            return o;
        }
        if (a == "-noautostart") {
            o.autostart = false;
            continue;
        }
        if (a == "-nothumbnail") {
            o.thumbnail = false;
            continue;
        }
        const bool takesValue = a == "-i" || a == "-u" || a == "-o" || a == "-codec" ||
                                a == "-cfr" || a == "-split-size" || a == "-split-time" ||
                                a == "-max-queue-mib" || a == "-timeout";
        if (!takesValue)
            return "unknown option \"" + a + "\"";
        if (i + 1 >= args.size())
            return "option " + a + " needs a value";
        const std::string &v = args[++i];
        const auto bad = [&](const char *what) {
            return "option " + a + ": \"" + v + "\" is not " + what;
        };
        int64_t n = 0;
        double d = 0;
        if (a == "-i") {
            if (v.empty())
                return bad("a source name");
            o.source = v;
        } else if (a == "-u") {
            o.address = v;
        } else if (a == "-o") {
            if (v.empty())
                return bad("a file name");
            o.output = v;
        } else if (a == "-codec") {
            if (v == "h264")
                o.codec = Codec::H264;
            else if (v == "speedhq")
                o.codec = Codec::SpeedHq;
            else if (v == "utvideo")
                o.codec = Codec::UtVideo;
            else
                return bad("h264, speedhq or utvideo");
        } else if (a == "-cfr") {
            if (v != "0" && v != "1")
                return bad("0 or 1");
            o.cfr = v == "1";
        } else if (a == "-split-size") {
            if (!toInt64(v, n) || n < 0 || n > (int64_t(1) << 24))
                return bad("a size from 0 to 16777216 MiB");
            o.splitSizeMiB = n;
        } else if (a == "-split-time") {
            if (!toDouble(v, d) || d < 0 || (d > 0 && d < 1) || d > 7 * 86400)
                return bad("0 or a time from 1 s to 7 days");
            o.splitTimeS = d;
        } else if (a == "-max-queue-mib") {
            if (!toInt64(v, n) || n < 16 || n > 65536)
                return bad("a size from 16 to 65536 MiB");
            o.maxQueueMiB = int(n);
        } else if (a == "-timeout") {
            if (!toDouble(v, d) || d < 0 || d > 86400)
                return bad("a time from 0 to 86400 s");
            o.timeoutS = d;
        }
    }
    if (o.source.empty())
        return "missing -i SOURCE_NAME";
    if (o.output.empty())
        return "missing -o FILE";
    return o;
}
