// Test sources for media tests: our NDI runtime is isolated for the test process (its own
// source registry and discovery port, shared with the ndi-testsrc children it starts), and
// each NdiSourceProcess is one ndi-testsrc child, stopped by PID when it goes.
#pragma once

#include "TestSupport.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace mediatest {

// Points this process's runtime at a private registry and discovery port; call before the
// runtime is first loaded. Returns the environment children must share.
inline QProcessEnvironment isolatedRuntimeEnv()
{
    static QTemporaryDir registry;
    static QProcessEnvironment env;
    if (env.isEmpty()) {
        env.insert("DESK_RECORDER_NDI_REGISTRY", registry.path());
        env.insert("DESK_RECORDER_NDI_DISCOVERY_PORT", QString::number(drtest::freeTcpPort()));
        env.insert("DESK_RECORDER_NDI_LIB", drtest::buildDir() + "/libdesk-recorder-ndi.so");
        for (const QString &key : env.keys())
            qputenv(key.toLocal8Bit(), env.value(key).toLocal8Bit());
    }
    return env;
}

class NdiSourceProcess
{
public:
    // Starts `ndi-testsrc --name name args...` and waits for its "started" line.
    bool start(const QString &name, const QStringList &args = {})
    {
        const QString program = drtest::buildDir() + "/ndi-testsrc";
        // The time limit ends a sender whose test died before it could stop it.
        const QStringList all = QStringList{"--name", name, "--seconds", "300"} + args;
        if (!m_child.start(program, all, isolatedRuntimeEnv()))
            return false;
        if (!m_child.waitForOutput("started ", 10000))
            return false;
        static const QRegularExpression started("started \"(.*)\" address=(\\S+)");
        const QRegularExpressionMatch m = started.match(m_child.output());
        if (!m.hasMatch())
            return false;
        m_fullName = m.captured(1);
        m_address = m.captured(2);
        return true;
    }
    QString fullName() const { return m_fullName; }
    QString address() const { return m_address; }
    // Everything the source printed (connections, tally, metadata, ntp-set lines).
    QString output() { return m_child.output(); }
    bool waitForOutput(const QString &text, int timeoutMs = 10000)
    {
        return m_child.waitForOutput(text, timeoutMs);
    }
    // The receivers connected as the source last reported, -1 before any report.
    int connections()
    {
        const QString out = output();
        const QString key = "connections \"" + m_fullName + "\" ";
        const int at = out.lastIndexOf(key);
        if (at < 0)
            return -1;
        return out.mid(at + key.size()).section('\n', 0, 0).trimmed().toInt();
    }
    void kill() { m_child.kill(); }
    void stop() { m_child.stop(); }

private:
    drtest::ChildProcess m_child;
    QString m_fullName;
    QString m_address;
};

} // namespace mediatest
