// One NDI receiver (one bandwidth of one source) with the frame synchroniser that serves
// its video and audio. Owned through shared references: the stream that opened it and every
// video frame captured from it, so frame data always goes back to this frame synchroniser.
// Threads: created and captured from under its stream's lock; freeVideo from whichever
// thread drops a frame; destroyed off the GUI thread (MediaReaper). m_ntpLock guards the
// NTP server (written by the main thread, read by capability reads).
#pragma once

#include "media/MediaInstance.h"
#include "ndi/NdiLibrary.h"

#include <QByteArray>
#include <QString>
#include <mutex>

class NDIRecvInstance : public MediaInstance_t
{
public:
    NDIRecvInstance(const NdiLibrary &lib, NdiReceiver receiver, int ndiBandwidth,
                    const QString &name);
    ~NDIRecvInstance() override; // frame synchroniser first, then the receiver

    void freeAudio(Media_audio_frame_t *frame) override;
    void freeVideo(Media_video_frame_t *frame) override;

    // The frame synchroniser, created on first use; null when the runtime refused it.
    NDIlib_framesync_instance_t frameSync();
    NDIlib_recv_instance_t receiver() const { return m_recv.get(); }
    const NdiLibrary &library() const { return m_lib; }
    int bandwidth() const { return m_bandwidth; } // NDI value: 100, 0, 10 or -10
    const QString &name() const { return m_name; }
    QString ntpServer() const;
    void setNtpServer(const QString &server);

private:
    const NdiLibrary &m_lib;
    const int32_t m_bandwidth;
    NdiFrameSync m_framesync; // set once under the stream lock, then only read
    NdiReceiver m_recv;
    const QString m_name;
    mutable std::mutex m_ntpLock;
    QString m_ntpServer; // last server sent with ntp-set
};
