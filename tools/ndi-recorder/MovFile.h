// MovFile: one recording file being written: a fragmented MOV (ftyp and an empty moov
// first, then self-contained moof+mdat fragments of about one second), encoded through
// libavcodec and muxed by libavformat into the DiskWriter.
//
// Tracks: video (H.264 4:2:0 through libx264, SpeedHQ 4:2:2 or Ut Video 4:2:2 lossless),
// optional PCM 24-bit audio at the source's rate and channel count, and a timecode track
// starting at the first frame's timecode. Metadata: creation time, the source name as the
// title and a comment naming the source.
//
// Crash safety: a fragment is cut before the first keyframe that comes a second or more
// after the last cut, and each cut is followed by a sync. A file killed at any moment
// therefore plays up to its last fragment; finish() adds the index at the end (mfra), so a
// cleanly closed file reports its exact duration.
//
// Thread: the encoding thread only; no locks.
#pragma once

#include "DiskWriter.h"
#include "RecorderOptions.h"
#include "ndi/NdiApi.h"

#include <cstdint>
#include <memory>
#include <string>

struct AVBufferPool;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

class MovFile
{
public:
    struct Settings
    {
        RecorderOptions::Codec codec = RecorderOptions::Codec::H264;
        bool cfr = true;
        int width = 0, height = 0;
        int fpsN = 30000, fpsD = 1001;
        int audioRate = 0, audioChannels = 0; // 0: no audio track
        int64_t timecodeFrame = 0; // first frame's timecode as a frame count at the video rate
        std::string sourceName;
        std::string sourceAddress;
    };

    // Video time base: one frame slot at a constant rate, else 1/120000 s (exact for every
    // common rate).
    static int64_t videoTicksPerSecond(bool cfr, int fpsN, int fpsD, int *tickDen);

    // Creates the file through `writer` and writes the header. Null on failure, with the
    // reason in `error` and its kind in `kind` (CannotWrite or DiskFull).
    static std::unique_ptr<MovFile> create(const Settings &settings, DiskWriter &writer,
                                           const std::string &path, std::string *error,
                                           DiskWriter::Error *kind);
    ~MovFile();
    MovFile(const MovFile &) = delete;
    MovFile &operator=(const MovFile &) = delete;

    // A picture at `pts` (video time base units from the file's start). Pictures of another
    // size or pixel format are converted to the file's.
    bool writeVideo(const NDIlib_video_frame_v2_t &frame, int64_t pts);
    // The last picture again at `pts` (a missing source frame at a constant rate).
    bool repeatVideo(int64_t pts);
    bool hasPicture() const { return m_lastPicture != nullptr; }
    // Samples [first, first + count) of `block`, which belong at sample `position` from the
    // file's start. Sound is written continuously; when its smoothed placement error passes
    // one video frame (or any error of half a second), a gap is filled with silence or an
    // overlap cut, so sound never drifts from the pictures.
    bool writeAudio(const NDIlib_audio_frame_v2_t &block, int first, int count, int64_t position);
    bool hasAudio() const { return m_audio != nullptr; }
    // Flushes the encoders, writes the end of the file and queues its close. The file is
    // complete on disk once the writer has drained.
    bool finish();

    const std::string &path() const { return m_file->path; }
    const Settings &settings() const { return m_settings; }
    int64_t videoFrames() const { return m_videoFrames; }
    int64_t audioSamples() const { return m_audioNext; }
    int64_t bytes() const { return m_bytes; }
    // "hh:mm:ss:ff" (";ff" at 29.97 and 59.94 drop-frame) of the file's frame `frame`.
    std::string timecodeAt(int64_t frame) const;
    const std::string &error() const { return m_error; }

private:
    MovFile() = default;
    bool open(const std::string &path, std::string *error, DiskWriter::Error *kind);
    bool openVideoEncoder();
    bool openAudioEncoder();
    bool sendFrame(AVCodecContext *codec, AVStream *stream, AVFrame *frame);
    bool writePacket(AVPacket *packet, AVCodecContext *codec, AVStream *stream);
    bool cutFragment();
    bool fail(const std::string &what, int averror = 0);
    static int onWrite(void *opaque, uint8_t *data, int size);

    Settings m_settings;
    DiskWriter *m_writer = nullptr;
    DiskWriter::FilePtr m_file;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_video = nullptr;
    AVCodecContext *m_audio = nullptr;
    AVStream *m_videoStream = nullptr;
    AVStream *m_audioStream = nullptr;
    SwsContext *m_sws = nullptr;
    AVBufferPool *m_picturePool = nullptr; // converted pictures, reused (no page faults)
    AVFrame *m_lastPicture = nullptr;
    AVPacket *m_packet = nullptr;
    int m_pixelFormat = -1;
    int64_t m_videoFrames = 0;
    int64_t m_lastVideoPts = -1;
    int64_t m_audioNext = 0;      // next sample position
    int64_t m_audioTolerance = 0; // samples of one video frame
    double m_offsetAverage = 0;   // smoothed placement error of the sound, in samples
    double m_lastCutSeconds = 0;  // media time of the last fragment cut
    int64_t m_bytes = 0;
    bool m_writeFailed = false;
    bool m_finished = false;
    int m_timecodeFlags = 0;
    int m_timecodeRateN = 30000, m_timecodeRateD = 1001;
    std::string m_error;
};
