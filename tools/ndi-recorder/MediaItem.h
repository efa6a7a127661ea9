// One entry of the queue between the receiving thread and the encoding thread: a received
// picture or block of sound (the runtime's own memory, given back when the last reference
// goes), or an order that must keep its place among the frames (a chop, the stop).
//
// Media time: a single timeline in 100 ns units on which audio and video of one source are
// placed. Within one connection it follows the sender's timestamps exactly; at each
// (re)connection it is re-anchored to this machine's real-time clock, so a gap while the
// source was away has its true length.
#pragma once

#include "ndi/NdiApi.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct MediaItem
{
    enum class Kind
    {
        Video,
        Audio,
        Chop, // go on in `path` from the next video frame on
        Stop  // finish the files and end
    };
    Kind kind = Kind::Video;
    int64_t mediaTime = 0; // 100 ns
    std::shared_ptr<const NDIlib_video_frame_v2_t> video;
    std::shared_ptr<const NDIlib_audio_frame_v2_t> audio;
    size_t bytes = 0; // of the picture or samples, for the queue bound
    std::chrono::steady_clock::time_point arrival = std::chrono::steady_clock::now();
    std::string path;
};

using MediaItemPtr = std::shared_ptr<MediaItem>;
