#include "audio/mixengine/FatalLog.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace dr::audiomix {

namespace {

template <typename T> void AppendNumber(std::string &out, T v)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, v);
    out.append(text, result.ptr);
}

} // namespace

void CheckArg::AppendTo(std::string &out) const
{
    switch (type) {
    case CheckArgType::Int:
        AppendNumber(out, value.i);
        return;
    case CheckArgType::Long:
        AppendNumber(out, value.l);
        return;
    case CheckArgType::LongLong:
        AppendNumber(out, value.ll);
        return;
    case CheckArgType::UInt:
        AppendNumber(out, value.u);
        return;
    case CheckArgType::ULong:
        AppendNumber(out, value.ul);
        return;
    case CheckArgType::ULongLong:
        AppendNumber(out, value.ull);
        return;
    case CheckArgType::Double:
        AppendNumber(out, value.d);
        return;
    case CheckArgType::CharPtr:
        out += value.s ? value.s : "(null)";
        return;
    case CheckArgType::StdString:
        out += *value.str;
        return;
    case CheckArgType::VoidPtr: {
        char text[32];
        std::snprintf(text, sizeof text, "%p", value.p);
        out += text;
        return;
    }
    }
    out += "[Invalid CheckArgType:";
    out += static_cast<char>(type);
    out += ']';
}

std::string FatalLog::Report(const char *file, int line, int lastSystemError, const char *condition,
                             const CheckArg *operands, const char *message)
{
    std::string report = "\n\n#\n# Fatal error in: ";
    report += file;
    report += ", line ";
    report += std::to_string(line);
    report += "\n# last system error: ";
    report += std::to_string(lastSystemError);
    report += "\n# Check failed: ";
    report += condition;
    if (operands) {
        report += " (";
        operands[0].AppendTo(report);
        report += " vs. ";
        operands[1].AppendTo(report);
        report += ")\n# ";
    } else {
        report += "\n# ";
    }
    if (message)
        report += message;
    return report;
}

void FatalLog::Fail(const char *file, int line, const char *condition, const char *message)
{
    const int lastError = errno; // read before anything else can change it
    WriteAndAbort(Report(file, line, lastError, condition, nullptr, message));
}

void FatalLog::FailComparison(const char *file, int line, const char *condition,
                              const CheckArg &first, const CheckArg &second, const char *message)
{
    const int lastError = errno;
    const CheckArg operands[2] = {first, second};
    WriteAndAbort(Report(file, line, lastError, condition, operands, message));
}

void FatalLog::WriteAndAbort(const std::string &report)
{
    std::fflush(stdout);
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    std::abort();
}

} // namespace dr::audiomix
