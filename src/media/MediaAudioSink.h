// Where a media connection delivers the audio of its source: the audio output mixer
// implements this for each window whose audio is on. The connection keeps a plain pointer
// (not owned) in its sink table and calls Write on its audio thread while holding
// MediaConnection::audioSinkLock(); the implementer must not take that lock inside Write.
#pragma once

#include <cstdint>

class MediaAudioSink
{
public:
    virtual ~MediaAudioSink() = default;
    // One 20 ms block: interleaved signed 16-bit little-endian PCM, 48000 Hz, 2 channels
    // (3840 bytes). Returns the bytes taken or -1; the connection ignores the result.
    virtual int Write(const int16_t *data, int lengthBytes) = 0;
};
