// Fuzzes what a source can send us: metadata texts read for the status element (any bytes,
// any nesting), together with the NTP check against a fixed server.
#include "media/NDIConnection.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The record as the capability read prepares it before parsing.
    Media_capabilities_t caps;
    caps.vendor.clear();
    caps.ntp_state = "unsync";
    NDIConnection::parseDeviceStatus(
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), caps);
    NDIConnection::checkNtpServer(caps, QStringLiteral("pool.example"));
    if (caps.ntp_state != "unsync" && caps.ntp_state != "sync" && caps.ntp_state != "error")
        __builtin_trap();
    return 0;
}
