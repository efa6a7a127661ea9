#include "Log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace drndi {

void logLine(const char *format, ...)
{
    char line[1024];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    int n = std::snprintf(line, sizeof line, "desk-recorder-ndi: %02d:%02d:%02d.%03ld ",
                          local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    int m = std::vsnprintf(line + n, sizeof line - size_t(n) - 1, format, args);
    va_end(args);
    size_t len = size_t(n) + (m < 0 ? 0 : std::min<size_t>(size_t(m), sizeof line - size_t(n) - 2));
    line[len++] = '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line, len);
    (void)ignored;
}

} // namespace drndi
