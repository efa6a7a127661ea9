// The engine under its real threading: producer threads write ring buffers, a mixing
// thread runs Mix passes, and the test's thread adds and removes sources meanwhile.
#include "audio/mixengine/AudioMixSource.h"
#include "audio/mixengine/AudioMixerImpl.h"
#include "audio/mixengine/AudioOutput.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

using namespace dr::audiomix;

class TestMixThreads : public QObject
{
    Q_OBJECT

private slots:
    void mixesWhileSourcesComeAndGo()
    {
        constexpr int kSources = 4;
        auto engine = AudioMixerImpl::Create(std::make_unique<AudioOutput>(48000));
        std::deque<RRingBuffer> buffers; // a deque keeps its elements in place
        std::deque<AudioMixSource> sources;
        for (uint32_t i = 0; i < kSources; ++i)
            sources.emplace_back(i, 48000, 2, 1.0f, 10, &buffers.emplace_back(30720));

        std::atomic<bool> running{true};
        std::vector<std::thread> producers;
        for (int i = 0; i < kSources; ++i) {
            producers.emplace_back([&, i] {
                // Each producer writes one constant level, so any output sample is a sum of
                // a subset of the levels times a fade gain: never negative, never above the
                // sum of all of them.
                const std::vector<int16_t> block(1920, int16_t(1000 * (i + 1)));
                // Twice real time, paced: overflows happen, the machine stays usable.
                while (running.load()) {
                    buffers[size_t(i)].Write(block.data(), block.size() * 2);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            });
        }

        std::atomic<int> passes{0}, mixed{0}, badSamples{0};
        std::thread mixer([&] {
            AudioFrame out;
            while (running.load()) {
                if (engine->Mix(2, &out))
                    ++mixed;
                const int16_t *data = out.Data();
                badSamples += int(std::count_if(
                    data, data + 960, [](int16_t s) { return s < 0 || s > 1000 * (2 + 3 + 4); }));
                ++passes;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });

        // Registration toggles while the mixer runs; every source ends registered.
        bool registered[kSources] = {};
        for (int round = 0; round < 301; ++round) {
            const size_t i = size_t(round * 7 % kSources);
            if (registered[i])
                engine->RemoveSource(&sources[i]);
            else
                engine->AddSource(&sources[i]);
            registered[i] = !registered[i];
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        for (size_t i = 0; i < kSources; ++i)
            if (!registered[i])
                engine->AddSource(&sources[i]);
        QVERIFY(QTest::qWaitFor([&] { return passes.load() > 100 && mixed.load() > 0; }, 20000));
        for (auto &source : sources)
            engine->RemoveSource(&source);
        running = false;
        mixer.join();
        for (auto &producer : producers)
            producer.join();
        QCOMPARE(badSamples.load(), 0);
    }
};

QTEST_APPLESS_MAIN(TestMixThreads)
#include "tst_mixthreads.moc"
