// Frame wrappers: data goes back to the instance that produced it, empty frames release
// only their owner, program-allocated buffers are freed.
#include "media/AudioFrameWrapper.h"
#include "media/MediaCapabilities.h"
#include "media/MediaFrameWrapper.h"

#include <QTest>

namespace {

struct Returns
{
    int video = 0;
    int audio = 0;
    void *lastVideo = nullptr;
    bool destroyed = false;
};

class RecordingInstance : public MediaInstance_t
{
public:
    explicit RecordingInstance(Returns *r) : m_r(r) {}
    ~RecordingInstance() override { m_r->destroyed = true; }
    void freeVideo(Media_video_frame_t *frame) override
    {
        ++m_r->video;
        m_r->lastVideo = frame->p_data;
    }
    void freeAudio(Media_audio_frame_t *) override { ++m_r->audio; }

private:
    Returns *m_r;
};

} // namespace

class TestMediaFrames : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const Media_video_frame_t v;
        QCOMPARE(v.FourCC, 0x59565955u);
        QCOMPARE(v.frame_rate_N, 30000);
        QCOMPARE(v.frame_rate_D, 1001);
        QCOMPARE(v.frame_format_type, 1);
        QCOMPARE(v.timecode, 0);
        QVERIFY(!v.hasData());
        const Media_audio_frame_t a;
        QCOMPARE(a.sample_rate, 48000);
        QCOMPARE(a.no_channels, 2);
        const Media_capabilities_t c;
        QCOMPARE(c.type, QByteArray("general-ndi"));
        QCOMPARE(c.ntp_state, QByteArray("off"));
        QCOMPARE(c.vendor, QByteArray("other"));
        QVERIFY(c.has_metadata && !c.has_video && !c.has_audio);
    }

    void videoDataGoesBackToItsInstance()
    {
        Returns r;
        uint8_t pixels[16] = {};
        auto frame = std::make_shared<MediaFrameWrapper<>>(std::make_shared<RecordingInstance>(&r));
        frame->frame.p_data = pixels;
        VideoFramePtr second = frame; // several holders, one release
        frame.reset();
        QCOMPARE(r.video, 0);
        QVERIFY(!r.destroyed);
        second.reset();
        QCOMPARE(r.video, 1);
        QCOMPARE(r.lastVideo, static_cast<void *>(pixels));
        QVERIFY(r.destroyed); // the frame held the last reference to its instance
    }

    void emptyVideoReleasesOnlyItsOwner()
    {
        Returns r;
        auto frame = std::make_shared<MediaFrameWrapper<>>(std::make_shared<RecordingInstance>(&r));
        frame.reset();
        QCOMPARE(r.video, 0);
        QVERIFY(r.destroyed);
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
