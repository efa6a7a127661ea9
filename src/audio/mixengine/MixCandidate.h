// One source's frame competing for a place in the current pass. Built and used on the
// mixing thread under the engine lock; points into a SourceEntry that outlives the pass.
#pragma once

#include "audio/mixengine/AudioFrame.h"
#include "audio/mixengine/SourceEntry.h"

#include <cstdint>

namespace dr::audiomix {

struct MixCandidate
{
    SourceEntry *entry = nullptr;
    AudioFrame *frame = nullptr;
    bool muted = false;
    uint32_t energy = 0; // modulo 2^32; 0 when muted
};

} // namespace dr::audiomix
