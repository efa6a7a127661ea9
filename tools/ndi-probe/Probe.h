// The two diagnostics of ndi-probe, run through a loaded NDI runtime: listing sources and
// receiving from one. Results go to stdout as lines for people and scripts (see
// ProbeOptions::usage()). Both run on the calling thread and return the exit code.
//
// Thread: the caller's only; `stop` may be set from a signal handler to end early (the
// results so far are still printed).
#pragma once

#include "ProbeOptions.h"
#include "ndi/NdiLibrary.h"

#include <atomic>

class Probe
{
public:
    Probe(const NdiLibrary &lib, const ProbeOptions &options, const std::atomic<bool> &stop)
        : m_lib(lib), m_options(options), m_stop(stop)
    {
    }

    int list();
    int receive();

private:
    NdiFinder makeFinder() const;

    const NdiLibrary &m_lib;
    const ProbeOptions &m_options;
    const std::atomic<bool> &m_stop;
};
