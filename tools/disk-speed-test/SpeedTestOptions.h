// Command line of the disk speed test:
//   disk-speed-test -path DIR [-bs BYTES] [-time MS] [-thread N] [-span MIB]
// -path   folder on the disk under test; the test file is created there (required)
// -bs     bytes per write (default 4096)
// -time   length of the test in milliseconds (default 60000)
// -thread number of writers, each with its own file (default 1)
// -span   MiB each writer covers before it starts again at the beginning of its file
//         (default 10000); capped at start so that all writers together use at most half
//         of the free space.
#pragma once

#include <cstdint>
#include <string>

struct SpeedTestOptions
{
    std::string path;
    std::int64_t blockBytes = 4096;
    std::int64_t timeMs = 60000;
    int threads = 1;
    std::int64_t spanMiB = 10000;

    // Fills the options from argv; false with a one-line reason in `error` when an option
    // is unknown, lacks its value or is out of range.
    bool parse(int argc, char **argv, std::string &error);
};
