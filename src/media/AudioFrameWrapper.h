// An audio block with its two sample buffers. Audio captured from NDI carries its own copies
// and no owner, so releasing the last reference frees both buffers (std::free).
#pragma once

#include "media/MediaInstance.h"

#include <cstdlib>
#include <memory>

template <typename Frame = Media_audio_frame_t, typename OwnerRef = MediaInstancePtr>
class AudioFrameWrapper
{
public:
    explicit AudioFrameWrapper(OwnerRef ownerRef = {}) : owner(std::move(ownerRef)) {}
    AudioFrameWrapper(const AudioFrameWrapper &) = delete;
    AudioFrameWrapper &operator=(const AudioFrameWrapper &) = delete;
    ~AudioFrameWrapper()
    {
        if (frame.p_data) {
            if (owner)
                owner->freeAudio(&frame);
            else
                std::free(frame.p_data);
        }
        if (frame.p_data_16s)
            std::free(frame.p_data_16s);
        owner.reset();
    }

    OwnerRef owner;
    Frame frame;
};

using AudioFramePtr = std::shared_ptr<AudioFrameWrapper<>>;
