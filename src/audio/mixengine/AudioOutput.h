// Rate calculator of a fixed output: always answers the rate it was built with, whatever
// the sources prefer. Immutable after construction; callable from any thread.
#pragma once

#include "audio/mixengine/NumericRange.h"
#include "audio/mixengine/OutputRateCalculator.h"

#include <cstdint>

namespace dr::audiomix {

class AudioOutput : public OutputRateCalculator
{
public:
    explicit AudioOutput(uint32_t sampleRateHz) : sampleRateHz_(sampleRateHz) {}

    int CalculateOutputRate(const std::vector<int> &) override
    {
        return CheckedCast<int>(sampleRateHz_);
    }

private:
    const uint32_t sampleRateHz_;
};

} // namespace dr::audiomix
