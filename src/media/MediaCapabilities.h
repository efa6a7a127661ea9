// What one source reports about itself through one receiver. Replaced as a whole when new
// capabilities are read; immutable once published, readable from any thread.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <memory>

struct Media_capabilities_t
{
    QByteArray type = "general-ndi"; // kind of source
    bool has_video = false;
    bool has_audio = false;
    bool has_metadata = true;
    bool support_ptz = false;
    bool support_kvm = false;
    QByteArray web_url;           // web control address, UTF-8
    QByteArray talk_url;          // talk-back address, UTF-8
    QByteArray ntp_server;        // NTP server the device reports
    QByteArray ntp_state = "off"; // "off", "unsync", "sync" or "error"
    QByteArray vendor = "other";  // "Varimont" for devices of the maker
    int32_t bitrate = 0;          // bit rate the device reports
};

using CapabilitiesPtr = std::shared_ptr<Media_capabilities_t>;
