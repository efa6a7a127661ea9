// The report of a failed internal consistency check, and the stop of the process that
// follows it. Any thread may fail a check; the report is written by that thread with no
// lock (the process is about to end). Stateless: no fields, no locks.
//
// Report layout (standard error; standard output is flushed first, standard error after):
//   "\n\n#\n# Fatal error in: <file>, line <line>\n# last system error: <errno>\n"
//   "# Check failed: <condition>"
// then, for a comparison, " (<first> vs. <second>)\n# ", otherwise "\n# ",
// then the extra message text (empty when none was given).
#pragma once

#include "audio/mixengine/CheckArg.h"

#include <string>

namespace dr::audiomix {

class FatalLog
{
public:
    // Text of a report. `operands` is null for a plain check, else points at two operands.
    static std::string Report(const char *file, int line, int lastSystemError,
                              const char *condition, const CheckArg *operands, const char *message);

    // Writes the report of a plain check (condition "FATAL()" when there is no condition
    // to show) and aborts.
    [[noreturn]] static void Fail(const char *file, int line, const char *condition,
                                  const char *message = "");
    // Writes the report of a comparison check with both operands and aborts.
    [[noreturn]] static void FailComparison(const char *file, int line, const char *condition,
                                            const CheckArg &first, const CheckArg &second,
                                            const char *message = "");

private:
    [[noreturn]] static void WriteAndAbort(const std::string &report);
};

} // namespace dr::audiomix
