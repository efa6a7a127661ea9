// Loads the optional crash-dump plug-in from the executable's folder and hands it the
// data folder. The plug-in stays loaded for the life of the process.
//
// Thread: main thread, during start-up. No locks.
#pragma once

#include <QString>

class CrashDumpLoader
{
public:
    // Platform file name of the plug-in: "libcrashdump.so" on Linux.
    static QString pluginFileName();
    // Looks for the plug-in in `folder`; logs "Init crashdump plugin ok." and initialises
    // it with `dumpFolder`, or logs "Init crashdump plugin error.". Returns whether it ran.
    static bool load(const QString &folder, const QString &dumpFolder);
};
