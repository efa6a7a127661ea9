// The media connection for NDI sources: creates the receivers through the loaded NDI
// runtime, captures video and audio through the frame synchroniser, reads capabilities and
// the device status element, and sends tally and the NTP server to the source.
// Threads: as MediaConnection; the operations below run on the caller's thread (timer
// threads and audio thread under the stream lock; tally and NTP from the main thread).
#pragma once

#include "media/MediaConnection.h"

#include <QByteArray>

class NdiLibrary;

class NDIConnection : public MediaConnection
{
    Q_OBJECT
public:
    // Metadata sent to every new receiver's source.
    static constexpr const char *kHwAccelMetadata = "<ndi_hwaccel enabled='true'/>";
    // Metadata frames taken per capability read at most (the rest waits for the next read).
    static constexpr int kMaxMetadataPerRead = 64;

    // `lib` null: the process-wide runtime (NdiLibrary::instance()).
    explicit NDIConnection(const NdiLibrary *lib = nullptr, QObject *parent = nullptr);
    ~NDIConnection() override;

    // Reads the maker's status element from a metadata text into `caps`: vendor, NTP server,
    // bitrate and sync state. Text before the element is ignored; reading stops at an XML
    // error, keeping what was read.
    static void parseDeviceStatus(const QByteArray &latin1Xml, Media_capabilities_t &caps);
    // A source reports "sync"/"error" only while it uses the server we sent it.
    static void checkNtpServer(Media_capabilities_t &caps, const QString &sentServer);
    // The ntp-set request for `server`.
    static QByteArray ntpSetMetadata(const QString &server);

protected:
    MediaInstancePtr createInstance(int bw, const QString &name, const QString &address) override;
    int checkConnection(const MediaInstancePtr &instance) override;
    VideoFramePtr captureVideo(const MediaInstancePtr &instance, bool onlySticky) override;
    AudioFramePtr captureAudio(const MediaInstancePtr &instance, bool onlySticky,
                               int samples) override;
    int audioQueued(const MediaInstancePtr &instance) override;
    CapabilitiesPtr queryCapabilities(const MediaInstancePtr &instance) override;
    void sendTally(const MediaInstancePtr &instance, bool preview, bool program) override;
    void sendNtp(const MediaInstancePtr &instance, const QString &server) override;

private:
    const NdiLibrary *m_lib;
};
