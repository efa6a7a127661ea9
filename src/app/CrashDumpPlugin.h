// Interface of the optional crash-dump plug-in, a Qt plug-in shipped as a separate
// shared library beside the executable (libcrashdump.so on Linux).
#pragma once

#include <QObject>
#include <QString>

class CrashDumpPlugin
{
public:
    virtual ~CrashDumpPlugin() = default;
    // Prepares writing crash dumps into `dumpFolder`. The result is informational.
    virtual bool initialize(const QString &dumpFolder) = 0;
};

#define CrashDumpPlugin_iid "Varimont.Plugins.CrashDump"
Q_DECLARE_INTERFACE(CrashDumpPlugin, CrashDumpPlugin_iid)
