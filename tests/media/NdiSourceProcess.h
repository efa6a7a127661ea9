// Test sources for media tests: our NDI runtime is isolated for the test process (its own
// source registry and discovery port, shared with the ndi-testsrc children it starts), and
// each NdiSourceProcess is one ndi-testsrc child, stopped by PID when it goes.
#pragma once

#include "TestSupport.h"

#include "media/MediaConnection.h"

#include <QRegularExpression>

namespace mediatest {

inline const void *const windowA = reinterpret_cast<const void *>(0x1000);
inline const void *const windowB = reinterpret_cast<const void *>(0x2000);

inline bool hasData(const VideoFramePtr &frame)
{
    return frame && frame->frame.p_data;
}

// Waits until the connection hands out a frame with a picture for the bandwidth.
inline VideoFramePtr waitForFrame(MediaConnection &connection, int bandwidth, int timeoutMs = 10000)
{
    VideoFramePtr frame;
    drtest::waitUntil([&] { return hasData(frame = connection.getVideoFrame(bandwidth)); },
                      timeoutMs);
    return hasData(frame) ? frame : VideoFramePtr();
}

using drtest::isolatedRuntimeEnv;
using drtest::uniqueName;

// output() has everything the source printed (connections, tally, metadata, ntp-set lines).
class NdiSourceProcess : public drtest::ChildProcess
{
public:
    // Starts `ndi-testsrc --name <unique base> --resolution 640x360 args...` and waits for its
    // "started" line; a later --resolution in args wins.
    bool start(const QString &base, const QStringList &args = {})
    {
        // The time limit ends a sender whose test died before it could stop it.
        const QStringList all =
            QStringList{"--name", uniqueName(base), "--seconds", "300", "--resolution", "640x360"} +
            args;
        if (!ChildProcess::start(drtest::buildDir() + "/ndi-testsrc", all, isolatedRuntimeEnv()) ||
            !waitForOutput("started ", 10000))
            return false;
        static const QRegularExpression started("started \"(.*)\" address=(\\S+)");
        const QRegularExpressionMatch m = started.match(output());
        m_fullName = m.captured(1);
        m_address = m.captured(2);
        return m.hasMatch();
    }
    QString fullName() const { return m_fullName; }
    QString address() const { return m_address; }
    // The receivers connected as the source last reported, -1 before any report.
    int connections()
    {
        const QString out = output();
        const QString key = "connections \"" + m_fullName + "\" ";
        const int at = out.lastIndexOf(key);
        return at < 0 ? -1 : out.mid(at + key.size()).section('\n', 0, 0).trimmed().toInt();
    }

private:
    QString m_fullName;
    QString m_address;
};

} // namespace mediatest
