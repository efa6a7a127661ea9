// Process entry of desk-recorder: parses the command line, decides the folders, starts
// the logger, the crash-dump plug-in, the event channel, the control service with its
// HTTP API, the source manager, and (unless headless) the QML main window with its
// embedded web UI; keeps the machine awake; runs the event loop; shuts down in order.
//
// Thread: main thread only. No locks.
#pragma once

class Application
{
public:
    // Returns the process exit code: 0 after a normal run (also after SIGTERM/SIGINT),
    // -1 when start-up fails, 2 for a bad command line.
    static int run(int argc, char **argv);
};
