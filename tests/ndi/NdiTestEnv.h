// Shared set-up of the NDI runtime tests: loads our runtime through NdiLibrary with its own
// registry folder and discovery port, so that tests never see (or disturb) sources of other
// programs on this machine. Used from the test's main thread.
#pragma once

#include "ndi/NdiLibrary.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

namespace nditest {

// Sets DESK_RECORDER_NDI_REGISTRY / DESK_RECORDER_NDI_DISCOVERY_PORT (once per process) and
// loads build/libdesk-recorder-ndi.so. Null (with a QFAIL-able message) when it cannot.
const NdiLibrary *runtime(QString *error = nullptr);
inline const NdiLibrary &lib()
{
    return *runtime();
}

// Unique source name for this test run ("<prefix> <pid>-<n>").
std::string uniqueName(const char *prefix);

// A sender without clocking (frames go out as soon as they are sent).
NdiSender makeSender(const std::string &name, const char *groups = nullptr);
// True once `recv` has a connection, false after timeoutMs.
bool waitConnected(NDIlib_recv_instance_t recv, int timeoutMs = 5000);

// Polls a finder until a source whose full name ends with "(<name>)" is listed; returns its
// address or "" after timeoutMs.
std::string waitForSource(const NdiLibrary &lib, NDIlib_find_instance_t finder,
                          const std::string &name, int timeoutMs);

// A UYVY frame whose every pixel pair is (u, y, v, y) = (base, base + 1, base + 2, base + 3).
std::vector<uint8_t> uyvyFrame(int xres, int yres, uint8_t base);

} // namespace nditest
