// The standard-input protocol of ndi-recorder: one XML element a line.
//   <start/>                       start writing (after -noautostart)
//   <record_chop filename="PATH"/> close the current file and go on in PATH
//   <exit/>                        stop, finish the file, exit
// Blank lines are ignored. Anything else (an unknown element or attribute, a malformed
// line, a missing or empty filename, a line longer than kMaxLineBytes) yields one Error
// command whose text says what was wrong; nothing else follows from it.
//
// Thread: a ControlParser belongs to the thread that feeds it (the main thread); no locks.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ControlCommand
{
    enum class Type
    {
        Start,
        Chop,
        Exit,
        Error
    };
    Type type = Type::Error;
    std::string filename; // Chop: the decoded path
    std::string error;    // Error: what was wrong, for the error element
};

class ControlParser
{
public:
    static constexpr size_t kMaxLineBytes = 16384;

    // Appends the commands of every complete line in `data` to `out`; a partial line is
    // kept for the next call.
    void feed(std::string_view data, std::vector<ControlCommand> &out);
    // End of input: a last line without its newline still counts.
    void finish(std::vector<ControlCommand> &out);

    // One line without its newline; nullopt for a blank line.
    static std::optional<ControlCommand> parseLine(std::string_view line);

private:
    std::string m_line;
    bool m_discarding = false; // inside an overlong line, until its newline
};
