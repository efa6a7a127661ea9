// SourceReceiver: the receiving thread. Finds the source (or connects to the -u address at
// once), pulls it at full bandwidth through the NDI runtime, and while recording hands every
// picture and block of sound to the FrameQueue as a shared reference to the runtime's own
// memory (given back when the last reference goes). It never waits for the encoder: a
// picture the queue refuses is counted as dropped.
//
// Source loss: an error frame, or no frame for kLostAfterMs, marks the source lost; the
// receiver keeps waiting (the runtime reconnects by itself) and reports the gap when frames
// return. Media time is re-anchored at every (re)connection (see MediaItem.h).
//
// Threads: start()/stop() and the accessors from the main thread; run() on its own thread.
// Counters are atomics; m_mutex guards m_name and m_address. The runtime receiver lives
// until the destructor, after every frame it handed out has been given back.
#pragma once

#include "FrameQueue.h"
#include "RecorderOptions.h"
#include "ndi/NdiLibrary.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class SourceReceiver
{
public:
    static constexpr int kLostAfterMs = 2000;

    enum class State
    {
        Finding,
        Connected,
        Lost,
        NotFound
    };

    SourceReceiver(const NdiLibrary &lib, const RecorderOptions &options, FrameQueue &queue,
                   const std::atomic<bool> &recording);
    ~SourceReceiver();

    void start();
    void stop();

    State state() const { return m_state; }
    std::string sourceName() const;
    std::string sourceAddress() const;
    long long videoReceived() const { return m_videoReceived; } // while recording
    long long videoRefused() const { return m_videoRefused; }   // queue full
    long long gaps() const { return m_gaps; }
    long long gapMs() const { return m_gapMs; }

private:
    void run();
    bool find(); // fills m_name / m_address
    int64_t mediaTime(int64_t timestamp, int64_t now);

    const NdiLibrary &m_lib;
    const RecorderOptions &m_options;
    FrameQueue &m_queue;
    const std::atomic<bool> &m_recording;
    NdiReceiver m_receiver;

    mutable std::mutex m_mutex;
    std::string m_name;
    std::string m_address;

    std::atomic<State> m_state{State::Finding};
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_videoReceived{0};
    std::atomic<long long> m_videoRefused{0};
    std::atomic<long long> m_gaps{0};
    std::atomic<long long> m_gapMs{0};
    bool m_anchored = false; // receiving thread
    int64_t m_anchorTimestamp = 0;
    int64_t m_anchorLocal = 0;
    std::thread m_thread;
};
