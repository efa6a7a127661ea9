// Chooses the engine's output sample rate from the rates its sources prefer. Called on the
// mixing thread under the engine lock; implementations must not call back into the engine.
#pragma once

#include <vector>

namespace dr::audiomix {

class OutputRateCalculator
{
public:
    virtual ~OutputRateCalculator() = default;
    // `preferredSampleRates`: one entry per registered source, in registration order (Hz).
    virtual int CalculateOutputRate(const std::vector<int> &preferredSampleRates) = 0;
};

} // namespace dr::audiomix
