// The runtime's wire format and conversions, without sockets: what a peer can send us is
// checked here byte by byte (framing limits, inconsistent lengths, split reads), plus the
// announcement datagrams, the XML attribute reader and the proxy size.
#include "MediaConvert.h"
#include "WireFormat.h"
#include "WireParser.h"

#include <QTest>

#include <cstring>

using namespace drndi;

namespace {

std::vector<uint8_t> bytes(const Packet &p)
{
    return std::vector<uint8_t>(p->begin(), p->end());
}

Payload payloadOf(const Packet &p)
{
    return Payload(p->begin() + kHeaderSize, p->end());
}

// Whether `decode` still accepts `p` once the int32 at `offset` is replaced by `value`.
template <typename Msg>
bool acceptsWith(bool (*decode)(const Payload &, Msg *, std::string *), Payload p, size_t offset,
                 int32_t value)
{
    std::memcpy(p.data() + offset, &value, 4);
    Msg m;
    std::string why;
    return decode(p, &m, &why);
}

} // namespace

class TestNdiWire : public QObject
{
    Q_OBJECT

private slots:
    void parserHandlesSplitReads()
    {
        VideoMsg v;
        v.xres = 4;
        v.yres = 2;
        v.frameRateN = 30;
        v.frameRateD = 1;
        std::vector<uint8_t> pixels(16, 7);
        std::vector<uint8_t> stream = bytes(encodeVideo(v, pixels.data(), 8));
        auto tally = bytes(encodeTally(true, false));
        auto empty = bytes(encodeText(MsgType::ConnMeta, 0, ""));
        stream.insert(stream.end(), tally.begin(), tally.end());
        stream.insert(stream.end(), empty.begin(), empty.end());
        // Fed in pieces of 1, 3, 16 and 1000 bytes: the same messages (type, payload size).
        for (size_t chunk : {size_t(1), size_t(3), size_t(16), size_t(1000)}) {
            WireParser parser;
            std::vector<std::pair<uint16_t, size_t>> seen;
            for (size_t at = 0; at < stream.size(); at += chunk) {
                QVERIFY(parser.feed(stream.data() + at, std::min(chunk, stream.size() - at),
                                    [&](uint16_t type, PayloadPtr p) {
                                        seen.push_back({type, p->size()});
                                        return true;
                                    }));
            }
            QCOMPARE(int(seen.size()), 3);
            QCOMPARE(seen[0].first, uint16_t(MsgType::Video));
            QCOMPARE(seen[1].first, uint16_t(MsgType::Tally));
            QCOMPARE(seen[2].second, size_t(8)); // timecode only
        }
    }

    void parserRejectsBadHeaders_data()
    {
        QTest::addColumn<uint32_t>("magic");
        QTest::addColumn<int>("type");
        QTest::addColumn<uint32_t>("length");
        QTest::newRow("bad magic") << 0x12345678u << 3 << 10u;
        QTest::newRow("unknown type") << kWireMagic << 99 << 10u;
        QTest::newRow("tally too long")
            << kWireMagic << int(MsgType::Tally) << kMaxSmallPayload + 1;
        QTest::newRow("metadata too long") << kWireMagic << int(MsgType::Metadata) << (4u << 20);
        QTest::newRow("video too long") << kWireMagic << int(MsgType::Video) << 0xFFFFFFFFu;
    }
    void parserRejectsBadHeaders()
    {
        QFETCH(uint32_t, magic);
        QFETCH(int, type);
        QFETCH(uint32_t, length);
        std::vector<uint8_t> h(16, 0);
        std::memcpy(h.data(), &magic, 4);
        h[4] = uint8_t(type);
        std::memcpy(h.data() + 8, &length, 4);
        WireParser parser;
        bool called = false;
        QVERIFY(
            !parser.feed(h.data(), h.size(), [&](uint16_t, PayloadPtr) { return called = true; }));
        QVERIFY(!called);
        QVERIFY(!parser.error().empty());
        // Once broken, a parser stays broken.
        QCOMPARE(parser.commit(0), WireParser::Result::Error);
    }

    void videoDecodeChecksConsistency()
    {
        VideoMsg v;
        v.xres = 8;
        v.yres = 4;
        v.frameRateN = 60000;
        v.frameRateD = 1001;
        v.timestamp = 123;
        v.metadata = "<m/>";
        std::vector<uint8_t> pixels(8 * 4 * 2 + 8 * 4, 1); // source stride 24 bytes
        for (int y = 0; y < 4; ++y)
            pixels[size_t(y) * 24] = uint8_t(y + 10);
        Payload good = payloadOf(encodeVideo(v, pixels.data(), 24));
        VideoMsg out;
        std::string why;
        QVERIFY(decodeVideo(good, &out, &why));
        QCOMPARE(out.xres, 8);
        QCOMPARE(out.metadata, std::string("<m/>"));
        QCOMPARE(int(out.pixels[16 * 3]), 13); // stride removed: line 3 starts at 48
        QCOMPARE(out.timestamp, int64_t(123));
        // Width disagreeing with the data, odd or negative; height out of range; frame rate
        // numerator 0; data length; metadata length past the end.
        for (auto [offset, value] : {std::pair<size_t, int32_t>{0, 10},
                                     {0, 7},
                                     {0, -8},
                                     {4, 100000},
                                     {12, 0},
                                     {28, 1 << 30},
                                     {48, 5000}})
            QVERIFY2(!acceptsWith(decodeVideo, good, offset, value),
                     qPrintable(QString::number(offset)));
        Payload cut(good.begin(), good.end() - 1);
        QVERIFY(!decodeVideo(cut, &out, &why));
        Payload tiny(good.begin(), good.begin() + 20);
        QVERIFY(!decodeVideo(tiny, &out, &why));
    }

    void audioDecodeChecksConsistency()
    {
        AudioMsg a;
        a.sampleRate = 48000;
        a.channels = 2;
        a.samples = 3;
        float planar[2][4] = {{1, 2, 3, 0}, {4, 5, 6, 0}};
        Payload good = payloadOf(encodeAudio(a, &planar[0][0], 16));
        AudioMsg out;
        std::string why;
        QVERIFY(decodeAudio(good, &out, &why));
        QCOMPARE(out.data[3], 4.0f); // channel 1 packed right after channel 0
        // Sample rate 0; no or too many channels; more samples than data or negative ones;
        // metadata length.
        for (auto [offset, value] :
             {std::pair<size_t, int32_t>{0, 0}, {4, 0}, {4, 65}, {8, 4}, {8, -1}, {12, 1 << 30}})
            QVERIFY2(!acceptsWith(decodeAudio, good, offset, value),
                     qPrintable(QString::number(offset)));
    }

    void smallMessagesRoundTrip()
    {
        HelloMsg h;
        h.bandwidth = -10;
        h.sourceName = "HOST (A)";
        h.receiverName = "probe";
        HelloMsg ho;
        std::string why;
        QVERIFY(decodeHello(payloadOf(encodeHello(h)), &ho, &why));
        QCOMPARE(ho.bandwidth, -10);
        QCOMPARE(ho.sourceName, h.sourceName);
        Payload wrongVersion = payloadOf(encodeHello(h));
        wrongVersion[0] = 9;
        QVERIFY(!decodeHello(wrongVersion, &ho, &why));
        Payload longName = payloadOf(encodeHello(h));
        longName[8] = 0xFF; // name length beyond the payload
        longName[9] = 0x03;
        QVERIFY(!decodeHello(longName, &ho, &why));

        std::vector<SourceEntry> list = {{"A (1)", "public", 5961}, {"B (2)", "x,y", 6000}};
        std::vector<SourceEntry> back;
        QVERIFY(decodeListReply(payloadOf(encodeListReply(list)), &back, &why));
        QVERIFY(back == list);
        Payload hugeCount = payloadOf(encodeListReply(list));
        hugeCount[3] = 0x7F;
        QVERIFY(!decodeListReply(hugeCount, &back, &why));

        TextMsg t;
        Payload withNul = payloadOf(encodeText(MsgType::Metadata, 5, std::string("ab\0cd", 5)));
        QVERIFY(decodeText(withNul, &t, &why));
        QCOMPARE(t.text, std::string("ab"));
        QCOMPARE(t.timecode, int64_t(5));
        QVERIFY(!decodeText(Payload(4, 0), &t, &why));
    }

    void announcementsRoundTripAndSplit()
    {
        std::vector<SourceEntry> many;
        for (int i = 0; i < 100; ++i)
            many.push_back(
                {"HOST (Source number " + std::to_string(i) + ")", "public", uint16_t(6000 + i)});
        auto datagrams = encodeAnnouncements(AnnounceKind::Announce, many);
        QVERIFY(datagrams.size() > 1);
        std::vector<SourceEntry> all;
        for (const auto &d : datagrams) {
            QVERIFY(d.size() <= kMaxDatagram);
            AnnounceKind kind;
            std::vector<SourceEntry> part;
            std::string why;
            QVERIFY(decodeAnnouncement(d.data(), d.size(), &kind, &part, &why));
            QCOMPARE(kind, AnnounceKind::Announce);
            all.insert(all.end(), part.begin(), part.end());
        }
        QVERIFY(all == many);

        auto d = encodeAnnouncements(AnnounceKind::Bye, {many[0]})[0];
        AnnounceKind kind;
        std::vector<SourceEntry> part;
        std::string why;
        for (size_t cut = 0; cut < d.size(); ++cut)
            QVERIFY(!decodeAnnouncement(d.data(), cut, &kind, &part, &why));
        auto bad = d;
        bad[5] = 9; // unknown kind
        QVERIFY(!decodeAnnouncement(bad.data(), bad.size(), &kind, &part, &why));
        auto query = encodeAnnouncements(AnnounceKind::Query, {});
        QCOMPARE(int(query.size()), 1);
        QVERIFY(decodeAnnouncement(query[0].data(), query[0].size(), &kind, &part, &why));
        QCOMPARE(kind, AnnounceKind::Query);
        QVERIFY(part.empty());
    }

    void readsCapabilityAttributes()
    {
        // Text, then the expected web_control and ntk_ptz ("" when not found).
        const char *const cases[][3] = {
            {"<ndi_capabilities web_control=\"http://h/\" ntk_ptz=\"true\"/>", "http://h/", "true"},
            {"<x/><ndi_capabilities ntk_ptz='false' web_control='http://h/?a=1&amp;b=2'>"
             "</ndi_capabilities>",
             "http://h/?a=1&b=2", "false"},
            {"<ndi_capabilities_x web_control=\"no\"/>", "", ""},               // another element
            {"<ndi_capabilities web_control=\"http://h/", "", ""},              // unterminated
            {"<ndi_capabilities web_control=http ntk_ptz=\"true\"/>", "", ""}}; // no quotes
        for (const auto &c : cases) {
            QCOMPARE(xmlAttribute(c[0], "ndi_capabilities", "web_control"), std::string(c[1]));
            QCOMPARE(xmlAttribute(c[0], "ndi_capabilities", "ntk_ptz"), std::string(c[2]));
        }
    }

    // Frame buffers are recycled by size class, and the free blocks kept stay bounded.
    void bufferPoolReusesAndStaysBounded()
    {
        if (!bufferpool::enabled())
            QSKIP("the pool is off in sanitizer builds");
        void *a = bufferpool::take(100000);
        bufferpool::give(a, 100000);
        void *b = bufferpool::take(120000); // the same 128 KiB class
        QCOMPARE(b, a);
        static_cast<uint8_t *>(b)[119999] = 1; // the whole class is usable
        bufferpool::give(b, 120000);

        std::vector<void *> blocks;
        for (int i = 0; i < 40; ++i)
            blocks.push_back(bufferpool::take(size_t(8) << 20));
        for (void *p : blocks)
            bufferpool::give(p, size_t(8) << 20);
        QVERIFY(bufferpool::pooledBytes() <= bufferpool::kMaxPooledBytes);
        QVERIFY(bufferpool::pooledBytes() >=
                (bufferpool::kMaxBlocksPerClass - 1) * (size_t(8) << 20));
    }

    void proxyKeepsAspect()
    {
        // Portrait rounds 1137.8 to an even line count; never below two lines; 640 wide stays.
        const int cases[][4] = {{1920, 1080, 640, 360},
                                {3840, 2160, 640, 360},
                                {1080, 1920, 640, 1138},
                                {8000, 2, 640, 2},
                                {640, 480, 640, 480}};
        for (const auto &c : cases) {
            int x = 0, y = 0;
            proxySize(c[0], c[1], &x, &y);
            QVERIFY2(x == c[2] && y == c[3], qPrintable(QString("%1x%2").arg(c[0]).arg(c[1])));
        }
    }

    // Full-range colours land on the limited-range UYVY values.
    void convertsRgbToUyvy()
    {
        const uint8_t bgra[8] = {255, 255, 255, 255, 0, 0, 0, 255}; // white, black
        uint8_t out[4];
        rgbaToUyvy(bgra, 2, 1, 8, false, out);
        QCOMPARE(QList<int>({out[0], out[1], out[2], out[3]}), QList<int>({128, 235, 128, 16}));
        const uint8_t red[8] = {255, 0, 0, 255, 255, 0, 0, 255}; // RGBA red
        rgbaToUyvy(red, 2, 1, 8, true, out);
        QCOMPARE(int(out[1]), 81); // BT.601 red: Y 81, Cr 240
        QCOMPARE(int(out[2]), 240);

        // And back: UYVY -> RGBX gives the colour again (within rounding), alpha opaque.
        uint8_t rgbx[8];
        uyvyToRgbx(out, 2, 1, true, rgbx);
        QVERIFY(std::abs(rgbx[0] - 255) <= 2 && rgbx[1] <= 2 && rgbx[2] <= 2);
        QCOMPARE(int(rgbx[3]), 255);
        const uint8_t greyPair[4] = {128, 16, 128, 235};
        uyvyToRgbx(greyPair, 2, 1, false, rgbx);
        QCOMPARE(QList<int>({rgbx[0], rgbx[4], rgbx[6]}), QList<int>({0, 255, 255}));
    }
};

QTEST_GUILESS_MAIN(TestNdiWire)
#include "tst_ndi_wire.moc"
