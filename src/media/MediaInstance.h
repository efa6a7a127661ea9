// One receiver for one bandwidth of one source. Frames captured from it hold a shared
// reference to it, so the receiver outlives its stream until the last frame is released and
// the frame's data always goes back to the instance that produced it.
// Thread: created by a stream under its lock; destroyed by whichever thread drops the last
// reference (never the GUI thread: see MediaReaper).
#pragma once

#include "media/MediaAudioFrame.h"
#include "media/MediaVideoFrame.h"

#include <memory>

class MediaInstance_t
{
public:
    virtual ~MediaInstance_t() = default;
    // Gives the audio data of a frame back to the instance; the base keeps nothing.
    virtual void freeAudio(Media_audio_frame_t *) {}
    // Gives the video data of a frame back to the instance; the base keeps nothing.
    virtual void freeVideo(Media_video_frame_t *) {}
};

using MediaInstancePtr = std::shared_ptr<MediaInstance_t>;
