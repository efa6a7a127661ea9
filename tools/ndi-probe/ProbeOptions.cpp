#include "ProbeOptions.h"

#include <charconv>
#include <cmath>

namespace {

bool toSeconds(const std::string &s, double &out)
{
    const char *end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end && std::isfinite(out) && out >= 0 && out <= 86400;
}

} // namespace

std::string ProbeOptions::usage()
{
    return "Usage:\n"
           "  ndi-probe --list [--groups G] [--extra-ips IPS] [--seconds S] [--watch]\n"
           "            [--until NAME]\n"
           "      Prints the sources found within S seconds (default 2), one per line:\n"
           "      NAME<TAB>ADDRESS. --watch prints +NAME<TAB>ADDRESS and -NAME<TAB>ADDRESS as\n"
           "      sources come and go; --until ends as soon as NAME is listed (exit 1 if\n"
           "      it never is).\n"
           "  ndi-probe --recv NAME [--low|--audio-only|--metadata-only] [--seconds S]\n"
           "            [--find-seconds S] [--groups G] [--extra-ips IPS]\n"
           "            [--tally program|preview|program,preview|none] [--send-metadata XML]\n"
           "      Connects to NAME (full name, or the part in parentheses), receives for S\n"
           "      seconds (default 2) and prints key=value lines: runtime, source, address,\n"
           "      connected, xres, yres, fourcc, fps, video_frames, measured_fps,\n"
           "      first_counter, last_counter, counter_gaps, bars, audio_channels,\n"
           "      audio_sample_rate, audio_samples, audio_peak_db (per channel, comma\n"
           "      separated, 1.0 = 0 dB), web_url, ptz, status_changes, metadata (one line\n"
           "      per distinct text seen), metadata_sent.\n"
           "  ndi-probe --runtime\n"
           "      Prints runtime=<loaded runtime> and exits.\n"
           "Exit code: 0 done, 1 no runtime / source not found / not connected, 2 bad usage.\n";
}

std::variant<ProbeOptions, std::string> ProbeOptions::parse(const std::vector<std::string> &args)
{
    ProbeOptions o;
    const auto setMode = [&](Mode m) {
        if (o.mode != Mode::None && o.mode != m)
            return false;
        o.mode = m;
        return true;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool takesValue = a == "--recv" || a == "--groups" || a == "--extra-ips" ||
                                a == "--seconds" || a == "--find-seconds" || a == "--until" ||
                                a == "--tally" || a == "--send-metadata";
        std::string v;
        if (takesValue) {
            if (i + 1 >= args.size())
                return a + " needs a value";
            v = args[++i];
        }
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--list") {
            if (!setMode(Mode::List))
                return std::string("--list cannot be combined with another mode");
        } else if (a == "--runtime") {
            if (!setMode(Mode::Runtime))
                return std::string("--runtime cannot be combined with another mode");
        } else if (a == "--recv") {
            if (!setMode(Mode::Recv))
                return std::string("--recv cannot be combined with another mode");
            if (v.empty())
                return std::string("--recv needs a source name");
            o.recvName = v;
        } else if (a == "--groups") {
            o.groups = v;
        } else if (a == "--extra-ips") {
            o.extraIps = v;
        } else if (a == "--seconds") {
            if (!toSeconds(v, o.seconds))
                return "--seconds " + v + ": expected a number of seconds";
        } else if (a == "--find-seconds") {
            if (!toSeconds(v, o.findSeconds))
                return "--find-seconds " + v + ": expected a number of seconds";
        } else if (a == "--watch") {
            o.watch = true;
        } else if (a == "--until") {
            if (v.empty())
                return std::string("--until needs a source name");
            o.until = v;
        } else if (a == "--low") {
            o.low = true;
        } else if (a == "--audio-only") {
            o.audioOnly = true;
        } else if (a == "--metadata-only") {
            o.metadataOnly = true;
        } else if (a == "--tally") {
            o.setTally = true;
            o.tallyProgram = o.tallyPreview = false;
            if (v == "program")
                o.tallyProgram = true;
            else if (v == "preview")
                o.tallyPreview = true;
            else if (v == "program,preview" || v == "preview,program")
                o.tallyProgram = o.tallyPreview = true;
            else if (v != "none")
                return "--tally " + v + ": expected program, preview, program,preview or none";
        } else if (a == "--send-metadata") {
            if (v.empty())
                return std::string("--send-metadata needs a text");
            o.sendMetadata.push_back(v);
        } else {
            return "unknown argument " + a;
        }
    }
    if (o.help)
        return o;
    if (o.mode == Mode::None)
        return std::string("one of --list, --recv NAME or --runtime is needed");
    if (int(o.low) + int(o.audioOnly) + int(o.metadataOnly) > 1)
        return std::string("--low, --audio-only and --metadata-only exclude each other");
    if (o.mode != Mode::Recv &&
        (o.low || o.audioOnly || o.metadataOnly || o.setTally || !o.sendMetadata.empty()))
        return std::string("--low, --audio-only, --metadata-only, --tally and --send-metadata "
                           "need --recv");
    if (o.mode != Mode::List && (o.watch || !o.until.empty()))
        return std::string("--watch and --until need --list");
    return o;
}

bool sourceNameMatches(const std::string &fullName, const std::string &wanted)
{
    if (fullName == wanted)
        return true;
    // Host names hold no spaces, so the first " (" ends the host part; the source part may
    // itself contain parentheses.
    const size_t open = fullName.find(" (");
    if (open == std::string::npos || fullName.back() != ')')
        return false;
    return fullName.substr(open + 2, fullName.size() - open - 3) == wanted;
}
