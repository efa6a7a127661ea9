// One row of the source table. Guarded by SourceManager's table lock.
#pragma once

#include "media/MediaCapabilities.h"
#include "media/MediaConnection.h"

#include <QString>

struct SourceInfo
{
    QString name;                  // the source name (the table key decoded as UTF-8)
    QString address;               // "host:port" of the source
    Media_capabilities_t caps;     // last accepted capabilities
    bool online = false;           // listed by the current discovery round
    qint64 last_seen_ms = 0;       // steady ms of the last round that listed it
    QString device_vendor;         // "Varimont" or "Other" once the device probe answered
    MediaConnectionPtr connection; // the source's one shared connection
};
