// Diagnostics of the runtime: one line on stderr per event, prefixed so that users can tell
// them from the host program's own output, and the local time (HH:MM:SS.mmm) to line them
// up with other logs. Safe from any thread (a single write per line).
#pragma once

#include <cstdarg>

namespace drndi {

void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace drndi
