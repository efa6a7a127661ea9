// The recorder plug-in interface ("Varimont.Plugins.Record"): the application hands the
// plug-in its recorder items and a callback; the plug-in pulls the sources itself, writes
// the files and reports each window's recording state through the callback.
//
// Threads: setCallback and startRecorder are called on the record task thread; stopRecorder
// there or on the main thread; updateUrl on the discovery thread (under the window model's
// record mutex). The plug-in accepts calls from all of them and calls back from its own
// threads; the callback only queues work.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QtPlugin>
#include <functional>

// State of one window's recording as the callback reports it.
enum NX_RECORD_STATE : int
{
    NX_RECORD_ENDED = 0,
    NX_RECORD_STARTED = 1,
};

// Error codes that come with NX_RECORD_ENDED.
namespace RecordError {
inline constexpr int None = 0;
inline constexpr int Failed = -1;   // the recorder ended without being asked (crash, no file)
inline constexpr int DiskFull = -4; // the disk is full
inline constexpr int DiskSlow = -5; // the disk cannot keep up: memory would run out
} // namespace RecordError

// (window position 1-based, state, error)
using RecordCallback = std::function<void(int, NX_RECORD_STATE, int)>;

class RecorderInterface
{
public:
    virtual ~RecorderInterface() = default;
    // 1. The callback for every later start.
    virtual void setCallback(RecordCallback callback) = 0;
    // 2. Starts one recording per element of start["items"] (see the README: recorder
    //    items); returns at once, the callback reports each start.
    virtual void startRecorder(const QJsonObject &start) = 0;
    // 3. and 4. Start or stop one window alone (not used by the application).
    virtual void startItem(const QJsonObject &item) = 0;
    virtual void stopItem(int position) = 0;
    // 5. The source recorded at `position` moved to `address`.
    virtual void updateUrl(int position, const QString &address) = 0;
    // 6. `which` empty: stops every recording and returns once their files are closed.
    virtual void stopRecorder(const QString &which) = 0;
};

#define RecorderInterface_iid "Varimont.Plugins.Record"
Q_DECLARE_INTERFACE(RecorderInterface, RecorderInterface_iid)
