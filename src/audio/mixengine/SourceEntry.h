// The engine's record of one registered source. Owned by AudioMixerImpl and touched only
// under its engine lock (mixing thread in Mix, owner's thread in Add/RemoveSource).
#pragma once

#include "audio/mixengine/AudioFrame.h"
#include "audio/mixengine/AudioMixer.h"

namespace dr::audiomix {

struct SourceEntry
{
    explicit SourceEntry(AudioMixer::Source *s) : source(s) {}

    AudioMixer::Source *source; // not owned
    bool mixed = false;         // summed in the last pass in which the source answered
    float gain = 0.0f;          // 0 until the first mixed frame has faded in, then 1
    AudioFrame frame;           // filled by the source in each pass
};

} // namespace dr::audiomix
