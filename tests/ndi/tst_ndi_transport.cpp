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
    if (source)
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
    f.FourCC = NDIlib_FourCC_video_type_UYVY;
    f.frame_rate_N = 60000;
    f.frame_rate_D = 1001;
    f.p_data = pixels.data();
    f.line_stride_in_bytes = x * 2;
    f.p_metadata = meta;
    lib()->send_send_video_v2(send, &f);
}

void freeFrame(NDIlib_recv_instance_t recv, NDIlib_frame_type_e type, NDIlib_video_frame_v2_t *v,
               NDIlib_audio_frame_v2_t *a, NDIlib_metadata_frame_t *m)
{
    if (type == NDIlib_frame_type_video)
        lib()->recv_free_video_v2(recv, v);
    if (type == NDIlib_frame_type_audio)
        lib()->recv_free_audio_v2(recv, a);
    if (type == NDIlib_frame_type_metadata)
        lib()->recv_free_metadata(recv, m);
}

// Captures until a frame of `want` arrives (other kinds are freed and skipped); the frame is
// left in *v, *a or *m for the caller to free.
NDIlib_frame_type_e captureType(NDIlib_recv_instance_t recv, NDIlib_frame_type_e want,
                                NDIlib_video_frame_v2_t *v, NDIlib_audio_frame_v2_t *a,
                                NDIlib_metadata_frame_t *m, int timeoutMs = 5000)
{
    NDIlib_video_frame_v2_t vv;
    NDIlib_audio_frame_v2_t aa;
    NDIlib_metadata_frame_t mm;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        auto type = lib()->recv_capture_v2(recv, v ? v : &vv, a ? a : &aa, m ? m : &mm, 100);
        if (type == want)
            return type;
        freeFrame(recv, type, v ? v : &vv, a ? a : &aa, m ? m : &mm);
    }
    return NDIlib_frame_type_none;
}

// First byte of the next video frame (frame freed), or -1 when none arrives.
int nextVideoByte(NDIlib_recv_instance_t recv, int timeoutMs = 5000)
{
    NDIlib_video_frame_v2_t v;
    if (captureType(recv, NDIlib_frame_type_video, &v, nullptr, nullptr, timeoutMs) !=
        NDIlib_frame_type_video)
        return -1;
    const int first = v.p_data[0];
    lib()->recv_free_video_v2(recv, &v);
    return first;
}

// Polls the sender's tally until `want` holds it (program, preview).
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

// Raw TCP helpers for hostile peers.
int rawConnect(const std::string &address)
{
    auto colon = address.rfind(':');
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
        QVERIFY(waitConnected(recv.get()));
        QCOMPARE(lib()->send_get_no_connections(send.get(), 1000), 1);

        // Video: size, format, pixels, per-frame metadata and a send-time timestamp.
        int64_t before = int64_t(QDateTime::currentMSecsSinceEpoch()) * 10000;
        sendFrame(send.get(), 320, 180, 40, "<frame n=\"1\"/>");
        NDIlib_video_frame_v2_t v;
        QCOMPARE(captureType(recv.get(), NDIlib_frame_type_video, &v, nullptr, nullptr),
                 NDIlib_frame_type_video);
        QCOMPARE(v.xres, 320);
        QCOMPARE(v.yres, 180);
        QCOMPARE(v.FourCC, uint32_t(NDIlib_FourCC_video_type_UYVY));
        QCOMPARE(v.line_stride_in_bytes, 640);
        QCOMPARE(v.frame_rate_N, 60000);
        QCOMPARE(v.frame_rate_D, 1001);
        QVERIFY(v.p_data);
        auto expected = uyvyFrame(320, 180, 40);
        QVERIFY(std::memcmp(v.p_data, expected.data(), expected.size()) == 0);
        QCOMPARE(QByteArray(v.p_metadata), QByteArray("<frame n=\"1\"/>"));
        QVERIFY(v.timestamp >= before - 10000000 && v.timestamp <= before + 100000000);
        lib()->recv_free_video_v2(recv.get(), &v);

        // Audio: planar float with a channel stride larger than the samples.
        const int samples = 480, stride = 512 * 4;
        std::vector<float> planar(2 * 512);
        for (int i = 0; i < samples; ++i) {
            planar[size_t(i)] = float(i) / samples;
            planar[512 + size_t(i)] = -float(i) / samples;
        }
        NDIlib_audio_frame_v2_t af;
        af.sample_rate = 48000;
        af.no_channels = 2;
        af.no_samples = samples;
        af.p_data = planar.data();
        af.channel_stride_in_bytes = stride;
        lib()->send_send_audio_v2(send.get(), &af);
        NDIlib_audio_frame_v2_t a;
        QCOMPARE(captureType(recv.get(), NDIlib_frame_type_audio, nullptr, &a, nullptr),
                 NDIlib_frame_type_audio);
        QCOMPARE(a.sample_rate, 48000);
        QCOMPARE(a.no_channels, 2);
        QCOMPARE(a.no_samples, samples);
        const float *ch1 = reinterpret_cast<const float *>(
            reinterpret_cast<const uint8_t *>(a.p_data) + a.channel_stride_in_bytes);
        QCOMPARE(a.p_data[100], 100.0f / samples);
        QCOMPARE(ch1[479], -479.0f / samples);
        lib()->recv_free_audio_v2(recv.get(), &a);

        // Metadata downstream and upstream.
        char down[] = "<hello from=\"sender\"/>";
        NDIlib_metadata_frame_t md;
        md.p_data = down;
        lib()->send_send_metadata(send.get(), &md);
        NDIlib_metadata_frame_t m;
        QCOMPARE(captureType(recv.get(), NDIlib_frame_type_metadata, nullptr, nullptr, &m),
                 NDIlib_frame_type_metadata);
        QCOMPARE(QByteArray(m.p_data), QByteArray(down));
        QCOMPARE(m.length, int(sizeof down));
        lib()->recv_free_metadata(recv.get(), &m);

        char up[] = "<ndi_hwaccel enabled='true'/>";
        NDIlib_metadata_frame_t mu;
        mu.p_data = up;
        mu.length = 29;
        QVERIFY(lib()->recv_send_metadata(recv.get(), &mu));
        NDIlib_metadata_frame_t got;
        QCOMPARE(lib()->send_capture(send.get(), &got, 3000), NDIlib_frame_type_metadata);
        QCOMPARE(QByteArray(got.p_data), QByteArray(up));
        lib()->send_free_metadata(send.get(), &got);

        NDIlib_recv_performance_t total, dropped;
        lib()->recv_get_performance(recv.get(), &total, &dropped);
        QCOMPARE(total.video_frames, int64_t(1));
        QCOMPARE(total.audio_frames, int64_t(1));
        QCOMPARE(dropped.video_frames, int64_t(0));
    }

    void tallyReachesSenderAndIsEchoed()
    {
        std::string name = uniqueName("Tally");
        NdiSender send = makeSender(name);
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        // Set before the connection exists: kept and sent once connected.
        NDIlib_tally_t t;
        t.on_program = true;
        QVERIFY(lib()->recv_set_tally(recv.get(), &t));
        QVERIFY(waitConnected(recv.get()));
        QVERIFY(waitTally(send.get(), true, false));
        bool echoed = false;
        NDIlib_metadata_frame_t m;
        while (!echoed && captureType(recv.get(), NDIlib_frame_type_metadata, nullptr, nullptr, &m,
                                      3000) == NDIlib_frame_type_metadata) {
            const QByteArray text(m.p_data);
            echoed = text.contains("ndi_tally_echo") && text.contains("on_program=\"true\"");
            lib()->recv_free_metadata(recv.get(), &m);
        }
        QVERIFY(echoed);
        // Program off, preview on: the sender reports the change.
        t.on_program = false;
        t.on_preview = true;
        lib()->recv_set_tally(recv.get(), &t);
        QVERIFY(waitTally(send.get(), false, true));
        // A receiver leaving takes its tally with it.
        recv.reset();
        QVERIFY(waitTally(send.get(), false, false));
    }

    // Audio-only receivers get no video, metadata-only ones neither video nor audio.
    void bandwidthSelectsStreams()
    {
        NdiSender send = makeSender(uniqueName("Bandwidth"));
        const NDIlib_source_t *src = lib()->send_get_source_name(send.get());
        NdiReceiver audioOnly = makeReceiver(src, NDIlib_recv_bandwidth_audio_only);
        NdiReceiver metaOnly = makeReceiver(src, NDIlib_recv_bandwidth_metadata_only);
        QVERIFY(waitConnected(audioOnly.get()));
        QVERIFY(waitConnected(metaOnly.get()));
        sendFrame(send.get(), 64, 32, 1);
        float samples[48] = {0.5f};
        NDIlib_audio_frame_v2_t af;
        af.no_channels = 1;
        af.no_samples = 48;
        af.p_data = samples;
        lib()->send_send_audio_v2(send.get(), &af);
        char text[] = "<last/>";
        NDIlib_metadata_frame_t md;
        md.p_data = text;
        lib()->send_send_metadata(send.get(), &md);
        for (auto *recv : {audioOnly.get(), metaOnly.get()}) {
            // Everything arrives in order, so by the metadata the rest has been seen.
            NDIlib_video_frame_v2_t v;
            NDIlib_audio_frame_v2_t a;
            NDIlib_metadata_frame_t m;
            std::set<int> seen;
            bool last = false;
            QElapsedTimer t;
            t.start();
            while (!last && t.elapsed() < 5000) {
                auto type = lib()->recv_capture_v2(recv, &v, &a, &m, 100);
                seen.insert(type);
                last = type == NDIlib_frame_type_metadata && QByteArray(m.p_data) == "<last/>";
                freeFrame(recv, type, &v, &a, &m);
            }
            QVERIFY(last);
            QVERIFY(!seen.count(NDIlib_frame_type_video));
            QCOMPARE(seen.count(NDIlib_frame_type_audio) == 1, recv == audioOnly.get());
        }
    }

    // A receiver that stops reading neither blocks the sender nor starves other receivers.
    void stalledReceiverDoesNotHoldOthers()
    {
        NdiSender send = makeSender(uniqueName("Stalled"));
        std::string address = lib()->send_get_source_name(send.get())->p_url_address;
        int stalled = rawConnect(address);
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
        std::string name = uniqueName("Late");
        NdiSender send = makeSender(name);
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
        std::string full = lib()->send_get_source_name(send.get())->p_ndi_name;
        std::string firstAddress = lib()->send_get_source_name(send.get())->p_url_address;
        NdiReceiver recv = makeReceiver(lib()->send_get_source_name(send.get()));
        QVERIFY(waitConnected(recv.get()));
        send.reset();
        QCOMPARE(captureType(recv.get(), NDIlib_frame_type_error, nullptr, nullptr, nullptr),
                 NDIlib_frame_type_error);
        QCOMPARE(lib()->recv_get_no_connections(recv.get()), 0);

        NdiSender again = makeSender(name);
        QVERIFY(std::string(lib()->send_get_source_name(again.get())->p_url_address) !=
                firstAddress);
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
        std::string name = uniqueName("Hostile");
        NdiSender send = makeSender(name);
        std::string address = lib()->send_get_source_name(send.get())->p_url_address;

        // At the sender: bad magic; an oversized length; a hello then a truncated message.
        std::vector<std::vector<uint8_t>> attacks;
        attacks.push_back(std::vector<uint8_t>(64, 0xAB));
        {
            std::vector<uint8_t> big(16, 0);
            uint32_t magic = drndi::kWireMagic, len = 0xFFFFFFF0u;
            std::memcpy(big.data(), &magic, 4);
            big[4] = uint8_t(drndi::MsgType::Video);
            std::memcpy(big.data() + 8, &len, 4);
            attacks.push_back(big);
        }
        auto hello = drndi::encodeHello(drndi::HelloMsg{});
        auto tallyMsg = drndi::encodeTally(true, false);
        std::vector<uint8_t> cut(hello->begin(), hello->end());
        cut.insert(cut.end(), tallyMsg->begin(), tallyMsg->begin() + 10); // cut short, then close
        attacks.push_back(cut);
        std::vector<uint8_t> badFlag(hello->begin(), hello->end());
        badFlag.insert(badFlag.end(), tallyMsg->begin(), tallyMsg->end());
        badFlag.back() = 7; // tally flag out of range
        attacks.push_back(badFlag);
        for (const auto &attack : attacks) {
            int fd = rawConnect(address);
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
        std::atomic<int> served{0};
        std::thread fake([&] {
            for (int round = 0; round < 2; ++round) {
                int c = ::accept(server, nullptr, nullptr);
                if (c < 0)
                    return;
                char buf[4096];
                ::recv(c, buf, sizeof buf, 0); // the hello
                drndi::HelloAckMsg ack;
                ack.accepted = true;
                ack.sourceName = "FAKE (Source)";
                auto p = drndi::encodeHelloAck(ack);
                ::send(c, p->data(), p->size(), MSG_NOSIGNAL);
                std::vector<uint8_t> msg;
                if (round == 0) {
                    drndi::VideoMsg v;
                    v.xres = 64;
                    v.yres = 32;
                    v.frameRateN = 30;
                    v.frameRateD = 1;
                    auto pixels = uyvyFrame(64, 32, 1);
                    auto pk = drndi::encodeVideo(v, pixels.data(), 128);
                    msg.assign(pk->begin(), pk->end());
                    msg[16] = 66; // xres no longer matches the data length
                } else {
                    msg.assign(16, 0);
                    uint32_t magic = drndi::kWireMagic;
                    std::memcpy(msg.data(), &magic, 4);
                    msg[4] = 0x77;
                }
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
