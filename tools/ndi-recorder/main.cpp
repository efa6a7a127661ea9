// ndi-recorder: records one NDI source to crash-safe MOV files. The command line, the
// standard-input orders and the standard-output elements are described in
// RecorderOptions::usage() and the README.
//
// Threads: main (orders, status, shutdown), the receiver, the encoder, the disk writer.
// Shutdown order: stop queuing, let the encoder finish its files, stop the receiver, drop
// what is left in the queue, drain the disk writer, then the runtime receiver goes (every
// frame it lent has been given back by then).
#include "ControlParser.h"
#include "DiskWriter.h"
#include "FrameQueue.h"
#include "ProtocolOutput.h"
#include "Recorder.h"
#include "RecorderOptions.h"
#include "SourceReceiver.h"
#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int)
{
    g_stop = true;
}

enum ExitCode
{
    kExitOk = 0,
    kExitInternal = 1,
    kExitUsage = 2,
    kExitNoSource = 3,
    kExitDiskFull = 4,
    kExitCannotWrite = 5,
    kExitDiskTooSlow = 6
};

// FFmpeg's warnings and errors become progress lines; its chatter is dropped.
void onAvLog(void *avcl, int level, const char *format, va_list args)
{
    if (level > AV_LOG_WARNING)
        return;
    char text[1024];
    int prefix = 1;
    av_log_format_line2(avcl, level, format, args, text, sizeof text, &prefix);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (!line.empty())
        ProtocolOutput::progress("ffmpeg: " + line);
}

int exitCodeFor(const std::string &code)
{
    if (code == "disk_full")
        return kExitDiskFull;
    if (code == "cannot_write")
        return kExitCannotWrite;
    if (code == "disk_too_slow")
        return kExitDiskTooSlow;
    if (code == "no_source")
        return kExitNoSource;
    return code.empty() ? kExitOk : kExitInternal;
}

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    const auto parsed = RecorderOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto *error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "ndi-recorder: %s\n%s", error->c_str(),
                     RecorderOptions::usage().c_str());
        return kExitUsage;
    }
    const RecorderOptions &options = std::get<RecorderOptions>(parsed);
    if (options.help) {
        std::fputs(RecorderOptions::usage().c_str(), stdout);
        return kExitOk;
    }

    // Memory: pictures and packets are big and short-lived; fixed mmap for blocks of 1 MiB
    // and more gives them back to the system when freed, and two arenas keep the threads'
    // small allocations from spreading over many half-used heaps.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_ARENA_MAX, 2);

    struct sigaction action = {};
    action.sa_handler = onSignal; // no SA_RESTART: poll() returns at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Ends with the parent: a killed application leaves no recorder writing for ever.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        g_stop = true;

    // The usual search first; then our own runtime in the application's folder, which holds
    // res/bin/record/ (the usual search only looks beside this program and one folder up).
    std::string loadError;
    std::unique_ptr<NdiLibrary> library = NdiLibrary::load(&loadError);
    if (!library) {
        char exe[4096] = {};
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        const std::string self = n > 0 ? std::string(exe, size_t(n)) : std::string();
        const std::string appDir = std::filesystem::path(self)
                                       .parent_path()
                                       .parent_path()
                                       .parent_path()
                                       .parent_path()
                                       .string();
        std::string ownError;
        library = NdiLibrary::loadFile(appDir + "/" + NdiLibrary::kOwnRuntimeName, &ownError);
        if (!library)
            loadError += "; " + ownError;
    }
    const NdiLibrary *lib = library.get();
    av_log_set_callback(onAvLog);
    if (!lib) {
        ProtocolOutput::progress("no NDI runtime: " + loadError);
        ProtocolOutput::element("record_error" + ProtocolOutput::attr("code", "no_source") +
                                ProtocolOutput::attr("error", "no NDI runtime could be loaded"));
        return kExitInternal;
    }
    ProtocolOutput::progress(lib->describe());

    // Encoded bytes may wait for the disk up to the bound; pictures waiting for the encoder
    // get an eighth of it (32 MiB by default, a quarter second of 1080p), so a slow encoder
    // costs dropped pictures rather than memory.
    const size_t bound = size_t(options.maxQueueMiB) << 20;
    FrameQueue queue(std::max<size_t>(bound / 8, size_t(16) << 20));
    DiskWriter writer(bound);
    std::atomic<bool> recording{options.autostart};
    SourceReceiver receiver(*lib, options, queue, recording);
    Recorder recorder(
        options, queue, writer,
        [&receiver] { return std::make_pair(receiver.sourceName(), receiver.sourceAddress()); },
        [&receiver] { return receiver.videoRefused(); });
    std::atomic<bool> recorderDone{false};
    std::thread encoder([&] {
        recorder.run();
        recorderDone = true;
    });
    receiver.start();

    std::string fatalCode;
    ControlParser parser;
    std::vector<ControlCommand> commands;
    auto nextStatus = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    bool ended = false;
    while (!ended && !g_stop && !recorderDone) {
        if (receiver.state() == SourceReceiver::State::NotFound) {
            fatalCode = "no_source";
            const std::string text = "the NDI source \"" + options.source +
                                     "\" was not found within " + number(options.timeoutS) + " s";
            ProtocolOutput::element("record_error" + ProtocolOutput::attr("code", fatalCode) +
                                    ProtocolOutput::attr("error", text));
            ProtocolOutput::progress(text);
            break;
        }
        pollfd in = {STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&in, 1, 200);
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                parser.feed(std::string_view(buffer, size_t(n)), commands);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                parser.finish(commands);
                ended = true; // end of input means stop
            }
        }
        for (const ControlCommand &c : commands) {
            switch (c.type) {
            case ControlCommand::Type::Start:
                if (!recording.exchange(true))
                    ProtocolOutput::progress("start");
                break;
            case ControlCommand::Type::Chop: {
                auto item = std::make_shared<MediaItem>();
                item->kind = MediaItem::Kind::Chop;
                item->path = c.filename;
                queue.push(std::move(item));
                break;
            }
            case ControlCommand::Type::Exit:
                ended = true;
                break;
            case ControlCommand::Type::Error:
                ProtocolOutput::element("record_error" + ProtocolOutput::attr("code", "bad_input") +
                                        ProtocolOutput::attr("error", c.error));
                ProtocolOutput::progress("bad input: " + c.error);
                break;
            }
        }
        commands.clear();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextStatus) {
            nextStatus = now + std::chrono::seconds(1);
            const Recorder::Status s = recorder.status();
            if (recording && s.fileOpen)
                ProtocolOutput::element(
                    "recording" + ProtocolOutput::attr("no_frames", s.frames) +
                    ProtocolOutput::attr("dropped_frames", s.dropped) +
                    ProtocolOutput::attr("timecode", s.timecode) +
                    ProtocolOutput::attr("vu_dB", number(s.vuDb[0]) + " " + number(s.vuDb[1])) +
                    ProtocolOutput::attr("bytes", s.fileBytes) +
                    ProtocolOutput::attr("queue_ms", queue.oldestAgeMs()));
        }
    }

    recording = false;
    auto stopItem = std::make_shared<MediaItem>();
    stopItem->kind = MediaItem::Kind::Stop;
    queue.push(std::move(stopItem));
    encoder.join();
    receiver.stop();
    queue.clear();
    writer.drain();
    if (fatalCode.empty())
        fatalCode = recorder.fatalCode();

    const Recorder::Status s = recorder.status();
    const std::string last = recorder.lastPath();
    ProtocolOutput::element("record_stopped" +
                            ProtocolOutput::attr("filename", last.empty() ? options.output : last) +
                            ProtocolOutput::attr("no_frames", s.frames));
    ProtocolOutput::progress(
        "stopped: received " + std::to_string(receiver.videoReceived()) + " pictures, wrote " +
        std::to_string(s.frames) + " (" + std::to_string(s.repeated) + " repeated), dropped " +
        std::to_string(s.dropped) + " (" + std::to_string(receiver.videoRefused()) +
        " refused by a full queue), source away " + std::to_string(receiver.gaps()) +
        " times for " + std::to_string(receiver.gapMs()) + " ms");
    return exitCodeFor(fatalCode);
}
