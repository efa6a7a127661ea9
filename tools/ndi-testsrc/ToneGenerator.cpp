#include "ToneGenerator.h"

#include <cmath>
#include <numbers>
#include <numeric>

ToneGenerator::ToneGenerator(std::vector<double> frequenciesHz, double levelDbfs)
    : m_frequencies(std::move(frequenciesHz)),
      m_amplitude(std::isfinite(levelDbfs) ? std::pow(10.0, levelDbfs / 20.0) : 0.0)
{
    m_periods.resize(m_frequencies.size());
    for (size_t c = 0; c < m_frequencies.size(); ++c) {
        const double f = m_frequencies[c];
        if (f <= 0 || f >= sampleRate || f != std::floor(f) || m_amplitude == 0)
            continue;
        const int64_t whole = int64_t(f);
        const int64_t period = sampleRate / std::gcd(whole, int64_t(sampleRate));
        std::vector<float> &table = m_periods[c];
        table.resize(size_t(period));
        for (int64_t i = 0; i < period; ++i) {
            const double cycles = double((i * whole) % sampleRate);
            table[size_t(i)] =
                float(m_amplitude * std::sin(2 * std::numbers::pi * cycles / sampleRate));
        }
    }
}

void ToneGenerator::next(int samples, std::vector<float> &planar)
{
    const size_t n = size_t(samples > 0 ? samples : 0);
    planar.assign(n * m_frequencies.size(), 0.0f);
    for (size_t c = 0; c < m_frequencies.size(); ++c) {
        const double f = m_frequencies[c];
        if (f <= 0 || m_amplitude == 0)
            continue;
        // Phase from the absolute sample index (n * f reduced modulo the rate), so it
        // neither drifts nor loses precision over hours.
        float *out = planar.data() + c * n;
        if (const std::vector<float> &table = m_periods[c]; !table.empty()) {
            size_t at = size_t(m_position % int64_t(table.size()));
            for (size_t i = 0; i < n; ++i) {
                out[i] = table[at];
                if (++at == table.size())
                    at = 0;
            }
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            const double cycles = std::fmod(double(m_position + int64_t(i)) * f, sampleRate);
            out[i] = float(m_amplitude * std::sin(2 * std::numbers::pi * cycles / sampleRate));
        }
    }
    m_position += int64_t(n);
}

int ToneGenerator::samplesForFrame(int64_t frame, int fpsN, int fpsD)
{
    if (fpsN <= 0 || fpsD <= 0 || frame < 0)
        return 0;
    const auto until = [&](int64_t f) { return f * sampleRate * fpsD / fpsN; };
    return int(until(frame + 1) - until(frame));
}
