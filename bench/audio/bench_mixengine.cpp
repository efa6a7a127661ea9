// Cost of one mixing pass (10 ms of 48000 Hz stereo) with 1, 3, 8 and 20 registered ring-
// buffer sources, beside a memcpy of the bytes those sources hand over in one pass.
// Prints figures; never fails on timing. Target: under 20 us per pass with 20 sources.
#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using namespace dr::audiomix;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kBlockBytes = 1920; // 10 ms, 48000 Hz, 2 channels, 16 bit
constexpr int kPasses = 20000;

// On a shared machine a few passes are preempted for milliseconds; the mean of the fastest
// 99% and the median show the cost of the pass itself, the plain mean includes the stalls.
struct Figures
{
    double meanNs = 0;
    double trimmedMeanNs = 0;
    double medianNs = 0;
    double p99Ns = 0;
};

Figures summarise(std::vector<double> &ns)
{
    Figures f;
    std::sort(ns.begin(), ns.end());
    const size_t kept = ns.size() * 99 / 100;
    for (size_t i = 0; i < ns.size(); ++i) {
        f.meanNs += ns[i];
        if (i < kept)
            f.trimmedMeanNs += ns[i];
    }
    f.meanNs /= double(ns.size());
    f.trimmedMeanNs /= double(kept);
    f.medianNs = ns[ns.size() / 2];
    f.p99Ns = ns[kept];
    return f;
}

double elapsedNs(Clock::time_point start)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

void run(size_t sourceCount)
{
    auto engine = AudioMixerImpl::Create(std::make_unique<AudioOutput>(48000));
    std::vector<std::unique_ptr<RRingBuffer>> buffers;
    std::vector<std::unique_ptr<AudioMixSource>> sources;
    std::vector<std::vector<int16_t>> blocks;
    std::mt19937 random(42);
    for (size_t i = 0; i < sourceCount; ++i) {
        // Noise at a different level per source, so the ranking has work to do.
        std::uniform_int_distribution<int> sample(-int(500 + 400 * i), int(500 + 400 * i));
        std::vector<int16_t> block(kBlockBytes / 2);
        for (auto &s : block)
            s = int16_t(std::clamp(sample(random), -32768, 32767));
        blocks.push_back(std::move(block));
        buffers.push_back(std::make_unique<RRingBuffer>(30720));
        sources.push_back(std::make_unique<AudioMixSource>(uint32_t(i), 48000, 2, 1.0f, 10,
                                                           buffers.back().get()));
        for (int b = 0; b < 7; ++b) // primed, with a block to spare
            buffers.back()->Write(blocks.back().data(), kBlockBytes);
        engine->AddSource(sources.back().get());
    }

    std::vector<double> mixNs, copyNs;
    mixNs.reserve(kPasses);
    copyNs.reserve(kPasses);
    std::vector<uint8_t> from(sourceCount * kBlockBytes, 1), to(sourceCount * kBlockBytes);
    AudioFrame out;
    int mixed = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
        for (size_t i = 0; i < sourceCount; ++i) // the producers' part, not timed
            buffers[i]->Write(blocks[i].data(), kBlockBytes);

        auto start = Clock::now();
        mixed += engine->Mix(2, &out) ? 1 : 0;
        mixNs.push_back(elapsedNs(start));

        start = Clock::now();
        std::memcpy(to.data(), from.data(), from.size());
        asm volatile("" : : "r"(to.data()) : "memory"); // keep the copy
        copyNs.push_back(elapsedNs(start));
    }
    const Figures mix = summarise(mixNs);
    const Figures copy = summarise(copyNs);
    std::printf("%2zu sources: Mix median %6.0f ns, mean(99%%) %6.0f, p99 %6.0f, mean %6.0f | "
                "memcpy %5zu bytes median %5.0f ns, mean(99%%) %5.0f | Mix/memcpy %5.1fx | "
                "%.3f%% of 10 ms | mixed %d/%d\n",
                sourceCount, mix.medianNs, mix.trimmedMeanNs, mix.p99Ns, mix.meanNs, from.size(),
                copy.medianNs, copy.trimmedMeanNs, mix.medianNs / copy.medianNs,
                mix.trimmedMeanNs / 1e5, mixed, kPasses);
    for (auto &source : sources)
        engine->RemoveSource(source.get());
}

} // namespace

int main()
{
    std::printf("Mixing pass, 48000 Hz stereo, 10 ms frames, %d passes each\n", kPasses);
    for (size_t count : {1, 3, 8, 20})
        run(count);
    std::printf("target: under 20000 ns per pass with 20 sources\n");
    return 0;
}
