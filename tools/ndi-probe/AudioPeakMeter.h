// Peak level per channel of planar float audio, in dB relative to a sample of 1.0
// (the test sender's convention: 1.0 = 0 dBFS, so a -6 dBFS tone reads about -6.0).
//
// Thread: belongs to its caller; no locks.
#pragma once

#include <string>
#include <vector>

class AudioPeakMeter
{
public:
    // planar: channel c starts at (const char*)planar + c * strideBytes.
    void add(const float *planar, int channels, int samples, int strideBytes);

    int channels() const { return int(m_peak.size()); }
    long long samples() const { return m_samples; }
    // Peak of a channel in dB; -inf for silence or an unknown channel.
    double peakDb(int channel) const;
    // "-6.02,-6.02" (two decimals; "-inf" for silence); empty without audio.
    std::string peakDbList() const;

private:
    std::vector<double> m_peak;
    long long m_samples = 0;
};
