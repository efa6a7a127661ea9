// Planar float audio for a test source: one sine tone per channel, phase-continuous
// across blocks, at 48000 Hz.
//
// Level convention: a float sample of 1.0 is 0 dBFS, so a tone at L dBFS has a peak
// amplitude of 10^(L/20) (-6 dBFS peaks at 0.501, -20 dBFS at 0.1). Frequency 0 or a level
// of -inf gives silence on that channel.
//
// Thread: belongs to the thread that calls next(); no locks.
#pragma once

#include <cstdint>
#include <vector>

class ToneGenerator
{
public:
    static constexpr int sampleRate = 48000;

    // frequenciesHz: one entry per channel (the channel count is its size).
    ToneGenerator(std::vector<double> frequenciesHz, double levelDbfs);

    int channels() const { return int(m_frequencies.size()); }
    double amplitude() const { return m_amplitude; }

    // Writes `samples` samples of every channel into `planar` (resized to channels x
    // samples, channel c at planar[c * samples]).
    void next(int samples, std::vector<float> &planar);

    // Number of samples that belong to video frame `frame` at fps N/D so that the sum
    // over frames never drifts from sampleRate * time (e.g. 1601 or 1602 at 30000/1001).
    static int samplesForFrame(int64_t frame, int fpsN, int fpsD);

private:
    std::vector<double> m_frequencies;
    // One whole period per channel when the frequency is a whole number of hertz (the
    // period is then sampleRate / gcd(f, sampleRate) samples): a table look-up per sample
    // instead of a sine, with the same values. Empty: computed per sample.
    std::vector<std::vector<float>> m_periods;
    double m_amplitude;
    int64_t m_position = 0; // samples generated so far
};
