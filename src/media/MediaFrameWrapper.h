// A video frame together with the instance that owns its pixel data. Holders read
// `frame` and never free anything: the wrapper returns the data to its owner (or frees a
// buffer the program allocated) when the last shared reference goes.
#pragma once

#include "media/MediaInstance.h"

#include <QtGlobal>

#include <cstdlib>
#include <memory>

template <typename Frame = Media_video_frame_t, typename OwnerRef = MediaInstancePtr>
class MediaFrameWrapper
{
public:
    explicit MediaFrameWrapper(OwnerRef ownerRef = {}) : owner(std::move(ownerRef)) {}
    MediaFrameWrapper(const MediaFrameWrapper &) = delete;
    MediaFrameWrapper &operator=(const MediaFrameWrapper &) = delete;
    ~MediaFrameWrapper()
    {
        if (frame.p_data) {
            if (owner)
                owner->freeVideo(&frame);
            else
                std::free(frame.p_data);
        }
        owner.reset();
    }

    OwnerRef owner;
    Frame frame;
    // Steady-clock ms (MediaConnection::nowMs) of the capture that made this wrapper; 0 when
    // not captured by a stream. Set before the wrapper is shared, read-only afterwards.
    qint64 capturedMs = 0;
};

using VideoFramePtr = std::shared_ptr<MediaFrameWrapper<>>;
