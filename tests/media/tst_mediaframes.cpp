// Frame wrappers: empty frames release only their owner, audio data goes back to its
// owner, program-allocated buffers are freed (ASan checks the frees).
#include "media/AudioFrameWrapper.h"
#include "media/MediaFrameWrapper.h"

#include <QTest>

namespace {

struct Returns
{
    int video = 0;
    int audio = 0;
    bool destroyed = false;
};

class RecordingInstance : public MediaInstance_t
{
public:
    explicit RecordingInstance(Returns *r) : m_r(r) {}
    ~RecordingInstance() override { m_r->destroyed = true; }
    void freeVideo(Media_video_frame_t *) override { ++m_r->video; }
    void freeAudio(Media_audio_frame_t *) override { ++m_r->audio; }

private:
    Returns *m_r;
};

} // namespace

class TestMediaFrames : public QObject
{
    Q_OBJECT

private slots:
    void emptyVideoReleasesOnlyItsOwner()
    {
        Returns empty;
        std::make_shared<MediaFrameWrapper<>>(std::make_shared<RecordingInstance>(&empty)).reset();
        QCOMPARE(empty.video, 0);
        QVERIFY(empty.destroyed);
    }

    void audioOwnedByOwnerOrProgram()
    {
        Returns r;
        {
            auto owned =
                std::make_shared<AudioFrameWrapper<>>(std::make_shared<RecordingInstance>(&r));
            owned->frame.p_data = reinterpret_cast<float *>(&r); // the owner's, not freed here
            owned->frame.p_data_16s = static_cast<int16_t *>(std::malloc(64));
        }
        QCOMPARE(r.audio, 1);
        // Without owner both buffers are the program's; ASan reports a leak or a bad free.
        auto mine = std::make_shared<AudioFrameWrapper<>>();
        mine->frame.p_data = static_cast<float *>(std::malloc(3840 * 2));
        mine->frame.p_data_16s = static_cast<int16_t *>(std::malloc(3840));
        mine.reset();
        auto video = std::make_shared<MediaFrameWrapper<>>();
        video->frame.p_data = static_cast<uint8_t *>(std::malloc(32));
        video.reset();
    }
};

QTEST_GUILESS_MAIN(TestMediaFrames)
#include "tst_mediaframes.moc"
