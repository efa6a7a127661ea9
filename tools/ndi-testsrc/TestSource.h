// One test source: a sender of the loaded NDI runtime fed by its own thread with the test
// pattern and tone at a steady frame rate, and the events it sees printed as single lines
// on stdout:
//   started "<full name>" address=<url> video=WxH fps=N/D audio=<ch>x48000 tone=<Hz list>
//           level=<dBFS> groups=<groups>
//   connections "<full name>" <count>
//   tally "<full name>" program=<0|1> preview=<0|1>
//   metadata "<full name>" <xml on one line>
//   ntp-set "<full name>" server=<server>
//   stopped "<full name>" frames=<frames sent>
//   effect "<full name>" <black|freeze|mute|pause>=<0|1>   (when an effect turns on or off)
//
// Threads: start()/stop() are called by the owning (main) thread; the sender thread owns
// the runtime sender, the pattern, the tone and the maker state. m_stop is the only field
// both touch (atomic). Output lines go through print(), which serialises them.
#pragma once

#include "MakerMetadata.h"
#include "TestPattern.h"
#include "TestSourceOptions.h"
#include "ToneGenerator.h"
#include "ndi/NdiLibrary.h"

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

class TestSource
{
public:
    TestSource(const NdiLibrary &lib, const TestSourceOptions &options, std::string name);
    ~TestSource();
    TestSource(const TestSource &) = delete;
    TestSource &operator=(const TestSource &) = delete;

    // Creates the sender and starts the thread; false (after printing why) when the
    // runtime refuses the sender.
    bool start();
    // Ends the thread and destroys the sender (receivers see the source go at once).
    void stop();

    // Forces an effect on or off from now on, whatever its time window says (any thread).
    void setEffect(int effect, bool on);

    // Writes one line to stdout and flushes it; safe from any thread.
    static void print(const std::string &line);

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void pollEvents();
    void sendFrame(int64_t frame, double elapsedSeconds);
    void sendMaker();
    std::string quotedName() const { return "\"" + m_fullName + "\""; }

    const NdiLibrary &m_lib;
    const TestSourceOptions m_options;
    const std::string m_name;
    std::string m_fullName;
    NdiSender m_sender;
    std::optional<TestPattern> m_pattern;
    ToneGenerator m_tone;
    std::optional<MakerMetadata> m_maker;
    std::vector<float> m_audio;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    // Per effect: -1 follow the time window, 0 forced off, 1 forced on (set from stdin).
    std::array<std::atomic<int>, TestSourceOptions::EffectCount> m_forced{-1, -1, -1, -1};
    std::array<bool, TestSourceOptions::EffectCount> m_effectOn{}; // sender thread
    std::vector<uint8_t> m_black;                                  // black UYVY frame
    int64_t m_framesSent = 0;
    int m_connections = 0;
    NDIlib_tally_t m_tally;
    Clock::time_point m_nextMaker;
};
