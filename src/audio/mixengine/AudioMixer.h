// The mixing engine's interface: sources register, and every 10 ms one Mix pass turns one
// frame of each source into one output frame (the loudest three summed).
//
// Threads: AddSource/RemoveSource from the owner's thread (the Qt main thread), Mix from the
// mixing thread; all three take the engine lock. The engine is reference counted; hold it
// through RefPtr<AudioMixer>.
#pragma once

#include "audio/mixengine/AudioFrame.h"
#include "audio/mixengine/RefCountInterface.h"

#include <cstddef>

namespace dr::audiomix {

class AudioMixer : public RefCountInterface
{
public:
    // One engine input. Its operations are called on the mixing thread under the engine
    // lock; they must not call back into the engine.
    class Source
    {
    public:
        enum class FrameInfo
        {
            Normal = 0, // the frame holds audio
            Muted = 1,  // the frame counts as silence
            Error = 2,  // no frame this pass; the source is left out of it
        };

        // Fills `frame` with the next 10 ms block. `sampleRate` is the engine's output rate.
        virtual FrameInfo GetAudioFrame(int sampleRate, AudioFrame *frame) = 0;
        virtual int SourceId() const = 0;
        virtual int PreferredSampleRate() const = 0;
        virtual ~Source() = default;
    };

    // Appends `source` (not owned; it must stay alive until RemoveSource returns). No check
    // for duplicates. Returns true.
    virtual bool AddSource(Source *source) = 0;
    // Removes the entry of `source`; other entries keep their order. Unknown sources are
    // ignored. Once it returns, the engine no longer touches `source`.
    virtual void RemoveSource(Source *source) = 0;
    // Mixes one 10 ms frame of `channels` (1 or 2) channels into `out`. Returns true when at
    // least one source's frame was summed; `out` is filled in either case (muted, or all
    // zeros with two or more registered sources, when nothing was summed).
    virtual bool Mix(size_t channels, AudioFrame *out) = 0;

protected:
    ~AudioMixer() override = default;
};

} // namespace dr::audiomix
