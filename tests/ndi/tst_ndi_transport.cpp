// Sender -> receiver through our runtime, in one process over loopback TCP: video, audio and
// metadata round trips, tally and its echo, audio-only and metadata-only receivers, a stalled
// receiver, the last frame for late receivers, reconnection and hostile peers.
#include "NdiTestEnv.h"

#include "WireFormat.h"

#include <TestSupport.h>

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

using namespace nditest;

namespace {

NdiReceiver makeReceiver(const NDIlib_source_t *source,
                         NDIlib_recv_bandwidth_e bw = NDIlib_recv_bandwidth_highest)
{
    NDIlib_recv_create_v3_t r;
    r.source_to_connect_to = *source;
    r.color_format = NDIlib_recv_color_format_fastest;
    r.bandwidth = bw;
    return makeNdiReceiver(lib(), &r);
}

void sendFrame(NDIlib_send_instance_t send, int x, int y, uint8_t base, const char *meta = nullptr)
{
    auto pixels = uyvyFrame(x, y, base);
    NDIlib_video_frame_v2_t f;
    f.xres = x;
    f.yres = y;
    f.frame_rate_N = 60000;
    f.frame_rate_D = 1001;
    f.p_data = pixels.data();
    f.line_stride_in_bytes = x * 2;
    f.p_metadata = meta;
    lib()->send_send_video_v2(send, &f);
}

void sendMetadata(NDIlib_send_instance_t send, char *text)
{
    NDIlib_metadata_frame_t md;
    md.p_data = text;
    lib()->send_send_metadata(send, &md);
}

// One captured frame of any kind; release() frees whichever `type` says was filled.
struct Frames
{
    NDIlib_video_frame_v2_t v;
    NDIlib_audio_frame_v2_t a;
    NDIlib_metadata_frame_t m;
    NDIlib_frame_type_e capture(NDIlib_recv_instance_t recv, uint32_t timeoutMs)
    {
        return lib()->recv_capture_v2(recv, &v, &a, &m, timeoutMs);
    }
    void release(NDIlib_recv_instance_t recv, NDIlib_frame_type_e type)
    {
        if (type == NDIlib_frame_type_video)
            lib()->recv_free_video_v2(recv, &v);
        if (type == NDIlib_frame_type_audio)
            lib()->recv_free_audio_v2(recv, &a);
        if (type == NDIlib_frame_type_metadata)
            lib()->recv_free_metadata(recv, &m);
    }
    // Captures until a frame of `want` arrives (others are freed); the caller frees that one.
    bool until(NDIlib_recv_instance_t recv, NDIlib_frame_type_e want, int timeoutMs = 5000)
    {
        return drtest::waitUntil(
            [&] {
                const auto type = capture(recv, 100);
                if (type != want)
                    release(recv, type);
                return type == want;
            },
            timeoutMs);
    }
};

// First byte of the next video frame (frame freed), or -1 when none arrives.
int nextVideoByte(NDIlib_recv_instance_t recv, int timeoutMs = 5000)
{
    Frames f;
    if (!f.until(recv, NDIlib_frame_type_video, timeoutMs))
        return -1;
    const int first = f.v.p_data[0];
    f.release(recv, NDIlib_frame_type_video);
    return first;
}

// Polls the sender's tally until it is (program, preview).
bool waitTally(NDIlib_send_instance_t send, bool program, bool preview)
{
    NDIlib_tally_t seen;
    return drtest::waitUntil(
        [&] {
            lib()->send_get_tally(send, &seen, 50);
            return seen.on_program == program && seen.on_preview == preview;
        },
        3000);
}

// A raw TCP connection to the sender, for hostile peers; -1 when it fails.
int rawConnect(NDIlib_send_instance_t send)
{
    const std::string address = lib()->send_get_source_name(send)->p_url_address;
    const auto colon = address.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(address.substr(colon + 1))));
    inet_pton(AF_INET, address.substr(0, colon).c_str(), &a.sin_addr);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A bare message header: magic, type and payload length.
std::vector<uint8_t> header(uint8_t type, uint32_t length)
{
    std::vector<uint8_t> h(16, 0);
    const uint32_t magic = drndi::kWireMagic;
    std::memcpy(h.data(), &magic, 4);
    h[4] = type;
    std::memcpy(h.data() + 8, &length, 4);
    return h;
}

} // namespace

class TestNdiTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(runtime(&error), qPrintable(error));
    }

    void videoAudioMetadataRoundTrip()
    {
        std::string name = uniqueName("Round Trip");
        NdiSender send = makeSender(name);
        const NDIlib_source_t *src = lib()->send_get_source_name(send.get());
        QVERIFY(src && src->p_ndi_name && src->p_url_address);
        QVERIFY(std::string(src->p_ndi_name).find("(" + name + ")") != std::string::npos);
        NdiReceiver recv = makeReceiver(src);
        // Beside it, an audio-only and a metadata-only receiver (checked at the end).
        NdiReceiver audioOnly = makeReceiver(src, NDIlib_recv_bandwidth_audio_only);
        NdiReceiver metaOnly = makeReceiver(src, NDIlib_recv_bandwidth_metadata_only);
        for (auto *r : {recv.get(), audioOnly.get(), metaOnly.get()})
            QVERIFY(waitConnected(r));
        QCOMPARE(lib()->send_get_no_connections(send.get(), 1000), 3);

        // Video: size, format, pixels, per-frame metadata and a send-time timestamp.
        int64_t before = int64_t(QDateTime::currentMSecsSinceEpoch()) * 10000;
        sendFrame(send.get(), 320, 180, 40, "<frame n=\"1\"/>");
        Frames f;
        QVERIFY(f.until(recv.get(), NDIlib_frame_type_video));
        QCOMPARE(QList<int>({f.v.xres, f.v.yres, f.v.line_stride_in_bytes, f.v.frame_rate_N,
                             f.v.frame_rate_D}),
                 QList<int>({320, 180, 640, 60000, 1001}));
        QCOMPARE(f.v.FourCC, uint32_t(NDIlib_FourCC_video_type_UYVY));
        auto expected = uyvyFrame(320, 180, 40);
        QVERIFY(f.v.p_data && std::memcmp(f.v.p_data, expected.data(), expected.size()) == 0);
        QCOMPARE(QByteArray(f.v.p_metadata), QByteArray("<frame n=\"1\"/>"));
        QVERIFY(f.v.timestamp >= before - 10000000 && f.v.timestamp <= before + 100000000);
        f.release(recv.get(), NDIlib_frame_type_video);

        // Audio: planar float with a channel stride larger than the samples.
        const int samples = 480;
        std::vector<float> planar(2 * 512);
        for (int i = 0; i < samples; ++i) {
            planar[size_t(i)] = float(i) / samples;
            planar[512 + size_t(i)] = -float(i) / samples;
        }
        NDIlib_audio_frame_v2_t af;
        af.no_channels = 2;
        af.no_samples = samples;
        af.p_data = planar.data();
        af.channel_stride_in_bytes = 512 * 4;
        lib()->send_send_audio_v2(send.get(), &af);
        QVERIFY(f.until(recv.get(), NDIlib_frame_type_audio));
        QCOMPARE(QList<int>({f.a.sample_rate, f.a.no_channels, f.a.no_samples}),
                 QList<int>({48000, 2, samples}));
        const float *ch1 = reinterpret_cast<const float *>(
            reinterpret_cast<const uint8_t *>(f.a.p_data) + f.a.channel_stride_in_bytes);
        QCOMPARE(f.a.p_data[100], 100.0f / samples);
        QCOMPARE(ch1[479], -479.0f / samples);
        f.release(recv.get(), NDIlib_frame_type_audio);

        // Metadata downstream and upstream.
        char down[] = "<hello from=\"sender\"/>";
        sendMetadata(send.get(), down);
        QVERIFY(f.until(recv.get(), NDIlib_frame_type_metadata));
        QCOMPARE(QByteArray(f.m.p_data), QByteArray(down));
        QCOMPARE(f.m.length, int(sizeof down));
        f.release(recv.get(), NDIlib_frame_type_metadata);

        char up[] = "<ndi_hwaccel enabled='true'/>";
        NDIlib_metadata_frame_t mu;
        mu.p_data = up;
        mu.length = 29;
        QVERIFY(lib()->recv_send_metadata(recv.get(), &mu));
        QCOMPARE(lib()->send_capture(send.get(), &mu, 3000), NDIlib_frame_type_metadata);
        QCOMPARE(QByteArray(mu.p_data), QByteArray(up));
        lib()->send_free_metadata(send.get(), &mu);

        NDIlib_recv_performance_t total, dropped;
        lib()->recv_get_performance(recv.get(), &total, &dropped);
        QCOMPARE(QList<int64_t>({total.video_frames, total.audio_frames, dropped.video_frames}),
                 QList<int64_t>({1, 1, 0}));

        // Audio-only receivers got no video, metadata-only ones neither video nor audio.
        for (auto *r : {audioOnly.get(), metaOnly.get()}) {
            // Everything arrives in order, so by the metadata the rest has been seen.
            std::set<int> seen;
            bool last = false;
            QElapsedTimer t;
            t.start();
            while (!last && t.elapsed() < 5000) {
                const auto type = f.capture(r, 100);
                seen.insert(type);
                last = type == NDIlib_frame_type_metadata && QByteArray(f.m.p_data) == down;
                f.release(r, type);
            }
            QVERIFY(last);
            QVERIFY(!seen.count(NDIlib_frame_type_video));
            QCOMPARE(seen.count(NDIlib_frame_type_audio) == 1, r == audioOnly.get());
        }
    }

    void tallyReachesSenderAndIsEchoed()
    {
        NdiSender send = makeSender(uniqueName("Tally"));
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        // Set before the connection exists: kept and sent once connected.
        NDIlib_tally_t t;
        t.on_program = true;
        QVERIFY(lib()->recv_set_tally(recv.get(), &t));
        QVERIFY(waitConnected(recv.get()));
        QVERIFY(waitTally(send.get(), true, false));
        bool echoed = false;
        Frames f;
        while (!echoed && f.until(recv.get(), NDIlib_frame_type_metadata, 3000)) {
            const QByteArray text(f.m.p_data);
            echoed = text.contains("ndi_tally_echo") && text.contains("on_program=\"true\"");
            f.release(recv.get(), NDIlib_frame_type_metadata);
        }
        QVERIFY(echoed);
        // A receiver leaving takes its tally with it.
        recv.reset();
        QVERIFY(waitTally(send.get(), false, false));
    }

    // A receiver that stops reading neither blocks the sender nor starves other receivers.
    void stalledReceiverDoesNotHoldOthers()
    {
        NdiSender send = makeSender(uniqueName("Stalled"));
        int stalled = rawConnect(send.get());
        QVERIFY(stalled >= 0);
        int small = 4096;
        setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        auto hello = drndi::encodeHello(drndi::HelloMsg{});
        QVERIFY(::send(stalled, hello->data(), hello->size(), MSG_NOSIGNAL) > 0);
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        QVERIFY(waitConnected(recv.get()));
        QTRY_COMPARE(lib()->send_get_no_connections(send.get(), 0), 2);
        for (int i = 0; i < 20; ++i)
            sendFrame(send.get(), 1920, 1080, uint8_t(i));
        // The healthy receiver reaches the last frame (older ones may be dropped for it too).
        QVERIFY(drtest::waitUntil([&] { return nextVideoByte(recv.get(), 200) == 19; }, 10000));
        ::close(stalled);
    }

    void lateReceiverGetsLastFrame()
    {
        NdiSender send = makeSender(uniqueName("Late"));
        sendFrame(send.get(), 64, 32, 100);
        sendFrame(send.get(), 64, 32, 120);
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        QCOMPARE(nextVideoByte(recv.get()), 120);
    }

    // The receiver stays when its source ends, reports the loss once, and follows the name to
    // the new address of a source that comes back.
    void reconnectsAfterSenderRestart()
    {
        std::string name = uniqueName("Restart");
        NdiSender send = makeSender(name);
        std::string firstAddress = lib()->send_get_source_name(send.get())->p_url_address;
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        QVERIFY(waitConnected(recv.get()));
        send.reset();
        Frames f;
        QVERIFY(f.until(recv.get(), NDIlib_frame_type_error));
        QCOMPARE(lib()->recv_get_no_connections(recv.get()), 0);

        NdiSender again = makeSender(name);
        QVERIFY(lib()->send_get_source_name(again.get())->p_url_address != firstAddress);
        QVERIFY(waitConnected(recv.get(), 8000));
        sendFrame(again.get(), 64, 32, 77);
        QCOMPARE(nextVideoByte(recv.get()), 77);
    }

    // A receiver asking for another name at a sender's address is refused, not served, and
    // goes on to wherever a source of its name is listed.
    void refusesWrongNameAndFollowsName()
    {
        NdiSender other = makeSender(uniqueName("Right"));
        NdiSender wanted = makeSender(uniqueName("Wanted"));
        NDIlib_source_t stale;
        stale.p_ndi_name = lib()->send_get_source_name(wanted.get())->p_ndi_name;
        stale.p_url_address = lib()->send_get_source_name(other.get())->p_url_address;
        NdiReceiver recv = makeReceiver(&stale);
        QVERIFY(waitConnected(recv.get()));
        QCOMPARE(lib()->send_get_no_connections(other.get(), 0), 0);
        QCOMPARE(lib()->send_get_no_connections(wanted.get(), 0), 1);
    }

    // Garbage, truncated and oversized messages close only that connection.
    void survivesHostilePeers()
    {
        NdiSender send = makeSender(uniqueName("Hostile"));
        // Bad magic; an oversized length; a hello then a truncated message; a bad tally flag.
        auto hello = drndi::encodeHello(drndi::HelloMsg{});
        auto tallyMsg = drndi::encodeTally(true, false);
        std::vector<uint8_t> cut(hello->begin(), hello->end());
        cut.insert(cut.end(), tallyMsg->begin(), tallyMsg->begin() + 10); // cut short, then close
        std::vector<uint8_t> badFlag(hello->begin(), hello->end());
        badFlag.insert(badFlag.end(), tallyMsg->begin(), tallyMsg->end());
        badFlag.back() = 7; // tally flag out of range
        for (const auto &attack :
             {std::vector<uint8_t>(64, 0xAB), header(uint8_t(drndi::MsgType::Video), 0xFFFFFFF0u),
              cut, badFlag}) {
            int fd = rawConnect(send.get());
            QVERIFY(fd >= 0);
            QVERIFY(::send(fd, attack.data(), attack.size(), MSG_NOSIGNAL) > 0);
            ::shutdown(fd, SHUT_WR);
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char buf[4096];
            // The sender closes on its side (after answering a valid hello).
            while (::recv(fd, buf, sizeof buf, 0) > 0) {
            }
            ::close(fd);
        }
        NDIlib_tally_t tally;
        lib()->send_get_tally(send.get(), &tally, 0);
        QVERIFY(!tally.on_program); // the malformed tally was not taken

        // The sender still serves a proper receiver.
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        QVERIFY(waitConnected(recv.get()));
        sendFrame(send.get(), 64, 32, 9);
        QCOMPARE(nextVideoByte(recv.get()), 9);
    }

    void receiverSurvivesHostileSource()
    {
        // A fake source: answers the hello properly, then sends a video message whose sizes
        // disagree, then (next connection) a header claiming an unknown type.
        int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::bind(server, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        QVERIFY(::listen(server, 4) == 0);
        socklen_t len = sizeof a;
        getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
        std::string address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        drndi::VideoMsg v;
        v.xres = 64;
        v.yres = 32;
        v.frameRateN = 30;
        v.frameRateD = 1;
        const auto pixels = uyvyFrame(64, 32, 1);
        auto video = drndi::encodeVideo(v, pixels.data(), 128);
        std::vector<uint8_t> badVideo(video->begin(), video->end());
        badVideo[16] = 66; // xres no longer matches the data length
        drndi::HelloAckMsg ack;
        ack.accepted = true;
        ack.sourceName = "FAKE (Source)";
        auto ackPacket = drndi::encodeHelloAck(ack);
        std::atomic<int> served{0};
        std::thread fake([&] {
            for (const auto &msg : {badVideo, header(0x77, 0)}) {
                int c = ::accept(server, nullptr, nullptr);
                if (c < 0)
                    return;
                char buf[4096];
                ::recv(c, buf, sizeof buf, 0); // the hello
                ::send(c, ackPacket->data(), ackPacket->size(), MSG_NOSIGNAL);
                ::send(c, msg.data(), msg.size(), MSG_NOSIGNAL);
                while (::recv(c, buf, sizeof buf, 0) > 0) {
                }
                ::close(c);
                served++;
            }
        });
        NDIlib_source_t src;
        src.p_ndi_name = "FAKE (Source)";
        src.p_url_address = address.c_str();
        {
            NdiReceiver recv = makeReceiver(&src);
            QElapsedTimer t;
            t.start();
            while (served < 2 && t.elapsed() < 8000)
                lib()->recv_capture_v2(recv.get(), nullptr, nullptr, nullptr, 50);
            QCOMPARE(served.load(), 2);
            NDIlib_recv_performance_t total;
            lib()->recv_get_performance(recv.get(), &total, nullptr);
            QCOMPARE(total.video_frames, int64_t(0));
        }
        ::shutdown(server, SHUT_RDWR);
        ::close(server);
        fake.join();
    }
};

QTEST_GUILESS_MAIN(TestNdiTransport)
#include "tst_ndi_transport.moc"
