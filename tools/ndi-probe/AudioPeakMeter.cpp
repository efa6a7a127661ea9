#include "AudioPeakMeter.h"

#include <cmath>
#include <cstdio>
#include <limits>

void AudioPeakMeter::add(const float *planar, int channels, int samples, int strideBytes)
{
    if (!planar || channels <= 0 || samples <= 0)
        return;
    if (strideBytes <= 0)
        strideBytes = samples * int(sizeof(float));
    if (int(m_peak.size()) < channels)
        m_peak.resize(size_t(channels), 0.0);
    for (int c = 0; c < channels; ++c) {
        const float *data = reinterpret_cast<const float *>(reinterpret_cast<const char *>(planar) +
                                                            size_t(c) * size_t(strideBytes));
        double peak = m_peak[size_t(c)];
        for (int i = 0; i < samples; ++i) {
            const double v = std::fabs(double(data[i]));
            if (std::isfinite(v) && v > peak)
                peak = v;
        }
        m_peak[size_t(c)] = peak;
    }
    m_samples += samples;
}

double AudioPeakMeter::peakDb(int channel) const
{
    if (channel < 0 || channel >= channels() || m_peak[size_t(channel)] <= 0)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(m_peak[size_t(channel)]);
}

std::string AudioPeakMeter::peakDbList() const
{
    std::string out;
    for (int c = 0; c < channels(); ++c) {
        if (c)
            out += ',';
        const double db = peakDb(c);
        if (std::isinf(db)) {
            out += "-inf";
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", db);
            out += text;
        }
    }
    return out;
}
