// Engine input for tests: hands over whatever samples and answer the test set last.
// Used on the test's thread only.
#pragma once

#include "audio/mixengine/AudioMixer.h"

#include <cstdint>
#include <vector>

class ScriptedSource : public dr::audiomix::AudioMixer::Source
{
public:
    explicit ScriptedSource(int id = 0) : m_id(id) {}

    // Every sample of every channel at `value` (10 ms at 48000 Hz).
    void setConstant(int16_t value, size_t channels = 2, size_t samplesPerChannel = 480)
    {
        m_samples.assign(channels * samplesPerChannel, value);
        m_channels = channels;
        m_samplesPerChannel = samplesPerChannel;
    }
    void setSamples(std::vector<int16_t> samples, size_t channels)
    {
        m_samples = std::move(samples);
        m_channels = channels;
        m_samplesPerChannel = m_samples.size() / channels;
    }
    void setAnswer(FrameInfo answer) { m_answer = answer; }
    void setVoiceActivity(dr::audiomix::AudioFrame::VoiceActivity activity)
    {
        m_activity = activity;
    }
    int calls() const { return m_calls; }

    FrameInfo GetAudioFrame(int, dr::audiomix::AudioFrame *frame) override
    {
        ++m_calls;
        if (m_answer == FrameInfo::Error)
            return m_answer;
        frame->Fill(0, m_samples.data(), m_samplesPerChannel, 48000,
                    dr::audiomix::AudioFrame::SpeechType::Normal, m_activity, m_channels);
        if (m_answer == FrameInfo::Muted)
            frame->Mute();
        return m_answer;
    }
    int SourceId() const override { return m_id; }
    int PreferredSampleRate() const override { return 48000; }

private:
    int m_id;
    std::vector<int16_t> m_samples = std::vector<int16_t>(960, 0);
    size_t m_channels = 2;
    size_t m_samplesPerChannel = 480;
    FrameInfo m_answer = FrameInfo::Normal;
    dr::audiomix::AudioFrame::VoiceActivity m_activity =
        dr::audiomix::AudioFrame::VoiceActivity::Unknown;
    int m_calls = 0;
};
