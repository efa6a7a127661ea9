// Recorder: the encoding thread. Takes pictures, sound and orders from the FrameQueue in
// order, places them on each file's timeline and writes them through MovFile.
//
// Timeline: a file starts at the media time of its first picture. At a constant frame rate
// each picture goes to the slot its media time rounds to; a slot left empty (the source
// stalled or was away) repeats the previous picture, counted as dropped, so the file keeps
// wall-clock duration. While no picture arrives, those repeats are written as time passes
// (kStallMs behind), not all at once when the source returns. Without a constant rate the
// pictures keep their media times. Sound is placed by its own media time (see
// MovFile::writeAudio), so sound and pictures stay in step.
//
// Chop: the file changes at the first picture after the order; that picture opens the new
// file, whose start is that picture's slot, and sound is split at the same instant. The old
// file stays open until its sound has reached that instant (at most kTailMs more), then is
// finished. A chop that cannot create its file leaves recording in the old one.
//
// Threads: run() on its own thread; status() and the accessors from any thread under
// m_statusMutex. Everything else belongs to the encoding thread.
#pragma once

#include "DiskWriter.h"
#include "FrameQueue.h"
#include "MovFile.h"
#include "RecorderOptions.h"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class Recorder
{
public:
    static constexpr int kStallMs = 250;
    static constexpr int kTailMs = 1000;

    struct Status
    {
        bool fileOpen = false;
        std::string path;                             // current file
        long long frames = 0;                         // pictures written into every file so far
        long long dropped = 0;                        // repeated, late or refused pictures
        long long repeated = 0;                       // of dropped: repeats of the previous picture
        long long fileBytes = 0;                      // of the current file
        std::string timecode;                         // of the last picture written
        std::array<double, 2> vuDb{{-100.0, -100.0}}; // peaks since the last status()
    };

    // `sourceInfo` gives the source's name and address for the file metadata;
    // `refusedFrames` the pictures the queue refused (counted as dropped).
    Recorder(const RecorderOptions &options, FrameQueue &queue, DiskWriter &writer,
             std::function<std::pair<std::string, std::string>()> sourceInfo,
             std::function<long long()> refusedFrames);

    void run();
    // For the once-a-second status; resets the VU peaks.
    Status status();
    // Error code ("disk_full", "cannot_write", "disk_too_slow") when recording ended on an
    // error, else empty.
    std::string fatalCode() const;
    std::string lastPath() const;

private:
    struct Part
    {
        std::unique_ptr<MovFile> file;
        int64_t start = 0;       // media time of slot 0
        int64_t end = INT64_MAX; // closing: media time where the next file starts
        int64_t lastSlot = -1;   // video pts of the last picture
        long long repeated = 0;
    };

    void onVideo(const MediaItemPtr &item);
    void onAudio(const MediaItemPtr &item);
    void onChop(const std::string &path);
    void tick();
    void stop();

    bool openFirst(const MediaItemPtr &first);
    bool split(const MediaItemPtr &frame, int64_t at, int64_t timecodeFrame);
    bool splitDue(int64_t mediaTime) const;
    void place(const MediaItemPtr &frame);
    void fillStall();
    void routeAudio(const MediaItemPtr &item);
    void writeAudio(Part &part, const MediaItemPtr &item, int from, int to);
    void finishClosing();
    void finishPart(Part &part);
    void flushHeld();
    void fatal(const std::string &code, const std::string &text);
    bool check(bool ok, Part &part);
    void publish();
    std::string nextSplitName() const;
    int64_t timecodeFrames(const NDIlib_video_frame_v2_t &frame) const;
    MovFile::Settings settingsFor(const NDIlib_video_frame_v2_t &frame) const;
    double period() const; // one frame in 100 ns

    const RecorderOptions &m_options;
    FrameQueue &m_queue;
    DiskWriter &m_writer;
    std::function<std::pair<std::string, std::string>()> m_sourceInfo;
    std::function<long long()> m_refused;

    Part m_current;
    Part m_closing;
    std::string m_nextPath;          // the first file, until it is opened
    std::deque<std::string> m_chops; // file changes ordered, one per picture
    std::chrono::steady_clock::time_point m_closingSince;
    std::deque<MediaItemPtr> m_pendingAudio; // waiting for the instant of a file change
    std::deque<MediaItemPtr> m_held;         // first pictures waiting briefly for sound
    std::chrono::steady_clock::time_point m_heldSince;
    int m_audioRate = 0, m_audioChannels = 0;
    bool m_audioWarned = false;
    int64_t m_lastVideoMt = 0;
    std::chrono::steady_clock::time_point m_lastVideoArrival;
    long long m_framesBefore = 0; // pictures of files already closed
    long long m_late = 0;
    long long m_repeatedBefore = 0;
    bool m_started = false;
    bool m_done = false;

    mutable std::mutex m_statusMutex;
    Status m_status;
    std::array<float, 2> m_peak{{0.0f, 0.0f}};
    std::string m_fatalCode;
    std::string m_lastPath;
};
