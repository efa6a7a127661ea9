// Unit tests of the test-source generators and command line: the picture, the tone and
// the maker metadata that other tests rely on to check what they receive.
#include "MakerMetadata.h"
#include "TestPattern.h"
#include "TestSourceOptions.h"
#include "ToneGenerator.h"

#include <QTest>
#include <cmath>

namespace {

double peak(const std::vector<float> &v, size_t from, size_t count)
{
    double m = 0;
    for (size_t i = from; i < from + count; ++i)
        m = std::max(m, double(std::fabs(v[i])));
    return m;
}

} // namespace

class GeneratorsTest : public QObject
{
    Q_OBJECT

private slots:
    void barsAreExactSeventyFivePercentBars_data()
    {
        QTest::addColumn<int>("xres");
        QTest::addColumn<int>("yres");
        QTest::newRow("1080p") << 1920 << 1080;
        QTest::newRow("odd-sized") << 1366 << 767;
    }
    void barsAreExactSeventyFivePercentBars()
    {
        QFETCH(int, xres);
        QFETCH(int, yres);
        TestPattern p(xres, yres);
        p.draw(0);
        QVERIFY(TestPattern::checkBars(p.data(), p.xres(), p.yres(), p.strideBytes(), 0));
        // Every pair of the bar area carries one bar colour, changing only left to right
        // through all seven in order (no stray chroma at bar edges).
        const int y = yres / 3;
        int bar = 0;
        for (int x = 0; x < p.xres(); x += 2) {
            const auto c = TestPattern::pixelAt(p.data(), p.strideBytes(), x, y);
            const auto c1 = TestPattern::pixelAt(p.data(), p.strideBytes(), x + 1, y);
            QCOMPARE(c1.y, c.y);
            if (c.y != TestPattern::bars[size_t(bar)].y)
                ++bar;
            QVERIFY2(bar < TestPattern::barCount, qPrintable(QString("x=%1").arg(x)));
            QCOMPARE(c.u, TestPattern::bars[size_t(bar)].u);
            QCOMPARE(c.v, TestPattern::bars[size_t(bar)].v);
        }
        QCOMPARE(bar, TestPattern::barCount - 1);
        // The band below is black apart from the counter and the box.
        const auto corner = TestPattern::pixelAt(p.data(), p.strideBytes(), 0, yres - 1);
        QCOMPARE(corner.y, TestPattern::black.y);
        // What a renderer using the Rec.709 matrix must show: white, yellow, cyan, green,
        // magenta, red, blue, each component 191 or 0.
        for (int b = 0; b < TestPattern::barCount; ++b) {
            const auto rgb = TestPattern::toRgb(TestPattern::bars[size_t(b)], true);
            const int r = b % 4 < 2 ? 191 : 0, g = b < 4 ? 191 : 0, bl = b % 2 ? 0 : 191;
            QVERIFY2(
                std::abs(rgb.r - r) <= 2 && std::abs(rgb.g - g) <= 2 && std::abs(rgb.b - bl) <= 2,
                qPrintable(QString("bar %1: %2 %3 %4").arg(b).arg(rgb.r).arg(rgb.g).arg(rgb.b)));
        }
    }

    // (Read back from a downscaled proxy: the proxy round trip of the process test.)
    void counterReadsBack()
    {
        TestPattern p(1920, 1080);
        // Edge values, wrap-around, and every digit glyph in each position (k * 11111111);
        // with the stride given and with 0 (= packed).
        std::vector<int64_t> frames{1, 9, 1234567, 99999999, 100000042};
        for (int64_t k = 0; k < 10; ++k)
            frames.push_back(k * 11111111);
        for (int64_t frame : frames) {
            p.draw(frame);
            for (int stride : {p.strideBytes(), 0})
                QCOMPARE(TestPattern::readCounter(p.data(), p.xres(), p.yres(), stride),
                         frame % 100000000);
        }
    }

    void foreignPicturesAreNotMisread()
    {
        std::vector<uint8_t> grey(1920 * 1080 * 2, 128);
        QCOMPARE(TestPattern::readCounter(grey.data(), 1920, 1080, 0), int64_t(-1));
        QVERIFY(!TestPattern::checkBars(grey.data(), 1920, 1080, 0));
        std::vector<uint8_t> black(1920 * 1080 * 2, 16);
        QCOMPARE(TestPattern::readCounter(black.data(), 1920, 1080, 0), int64_t(-1));
        QCOMPARE(TestPattern::readCounter(nullptr, 1920, 1080, 0), int64_t(-1));
        QCOMPARE(TestPattern::readCounter(black.data(), 1920, 20, 0), int64_t(-1));
        // A stride too short for the width would read past the frame: refused.
        QCOMPARE(TestPattern::readCounter(black.data(), 1920, 1080, 1920), int64_t(-1));
        QVERIFY(!TestPattern::checkBars(black.data(), 1920, 1080, 100));
    }

    void redrawLeavesNoTrailAndMovesTheBox()
    {
        TestPattern p(1280, 720);
        p.draw(0);
        const std::vector<uint8_t> first(p.data(), p.data() + p.strideBytes() * p.yres());
        QVERIFY(p.boxX(1) != p.boxX(0));
        for (int64_t f = 1; f < 500; ++f)
            p.draw(f);
        // Drawing frame 0 again gives exactly the first picture: nothing stale remains.
        p.draw(0);
        QVERIFY(std::equal(first.begin(), first.end(), p.data()));
    }

    void toneHasTheRequestedLevelAndFrequency()
    {
        ToneGenerator t({1000.0, 440.0, 0.0}, -6.0);
        QCOMPARE(t.channels(), 3);
        std::vector<float> block;
        // Blocks of odd sizes join without a phase jump.
        std::vector<float> whole;
        for (int n : {1601, 1602, 7, 4800}) {
            t.next(n, block);
            QCOMPARE(block.size(), size_t(3 * n));
            whole.insert(whole.end(), block.begin(), block.begin() + n); // channel 0
        }
        // Whole-hertz tones come from a one-period table, others per sample: both are the sine.
        ToneGenerator fractional({999.5}, -6.0);
        std::vector<float> other;
        fractional.next(int(whole.size()), other);
        const double a = std::pow(10.0, -6.0 / 20.0);
        for (size_t i = 0; i < whole.size(); ++i) {
            QVERIFY(std::fabs(whole[i] - a * std::sin(2 * M_PI * 1000.0 * i / 48000)) < 1e-5);
            QVERIFY(std::fabs(other[i] - a * std::sin(2 * M_PI * 999.5 * i / 48000)) < 1e-5);
        }
        // Channel 1 peaks at -6 dBFS too (1.0 = 0 dBFS); channel 2 is silent.
        t.next(48000, block);
        QVERIFY(std::fabs(20 * std::log10(peak(block, 48000, 48000)) + 6.0) < 0.01);
        QCOMPARE(peak(block, 96000, 48000), 0.0);
        ToneGenerator silent({1000.0}, -std::numeric_limits<double>::infinity());
        silent.next(480, block);
        QCOMPARE(peak(block, 0, 480), 0.0);
    }

    void audioSamplesPerFrameNeverDrift()
    {
        for (auto [n, d] : {std::pair{30000, 1001}, {60000, 1001}, {25, 1}, {24000, 1001}}) {
            int64_t total = 0;
            const int64_t frames = 30000;
            for (int64_t f = 0; f < frames; ++f) {
                const int s = ToneGenerator::samplesForFrame(f, n, d);
                QVERIFY(std::abs(s - 48000.0 * d / n) < 1.0);
                total += s;
            }
            QCOMPARE(total, frames * 48000 * d / n);
        }
    }

    // The exchange with the application (the element it reads, escaping both ways) is checked
    // in tests/media; here the request parser's edge cases.
    void makerNtpSet()
    {
        MakerMetadata m("", 12000, -1);
        // The request as the application writes it, with an escaped ampersand.
        auto server = m.handle("<ntp-set><Server>ntp.a&amp;b.lan</Server></ntp-set>");
        QVERIFY(server);
        QCOMPARE(QString::fromStdString(*server), QString("ntp.a&b.lan"));
        // A fixed sync value stays whatever the server.
        MakerMetadata fixed("pool", 1, 0);
        QVERIFY(fixed.element().find("<sync>0</sync>") != std::string::npos);
        // Other messages change nothing.
        for (const char *other :
             {"<ndi_hwaccel enabled='true'/>", "<ntp-set/>",
              "<ntp-setter><Server>x</Server></ntp-setter>", "<ntp-set><Server>x</Server>",
              "<x><ntp-set><Server>y</Server></ntp-set></x>", "",
              "<ntp-set><Server>unterminated"}) {
            QVERIFY2(!m.handle(other), other);
        }
        QCOMPARE(QString::fromStdString(m.server()), QString("ntp.a&b.lan"));
        QCOMPARE(QString::fromStdString(*MakerMetadata::parseNtpSet(
                     " <ntp-set>\n <Server> 10.0.0.1 </Server></ntp-set>")),
                 QString("10.0.0.1"));
    }

    void commandLine()
    {
        using O = TestSourceOptions;
        // (Most options are used end to end by the process test and tests/media.)
        auto one = std::get<O>(
            O::parse({"--name", "A", "--tone", "440", "--channels", "4", "--fps", "25"}));
        QCOMPARE(one.toneHz, std::vector<double>(4, 440.0));
        QVERIFY(one.fpsN == 25 && one.fpsD == 1);
        auto silent = std::get<O>(O::parse({"--name", "A", "--silence"}));
        QVERIFY(std::isinf(silent.levelDbfs));

        // Every bad input is an error with a message (arguments split at spaces).
        QVERIFY(std::holds_alternative<std::string>(O::parse({})));
        for (const char *line :
             {"--name ", "--name A --name A", "--name A --resolution 1921x1080",
              "--name A --resolution -2x100", "--name A --fps 30/0", "--name A --fps 1000",
              "--name A --tone 1000,x", "--name A --tone 1,2 --channels 3", "--name A --level nan",
              "--name A --channels 0", "--name A --no-audio --no-video", "--name A --bogus"}) {
            std::vector<std::string> args;
            for (const QString &arg : QString(line).split(' '))
                args.push_back(arg.toStdString());
            auto r = O::parse(args);
            QVERIFY2(std::holds_alternative<std::string>(r) && !std::get<std::string>(r).empty(),
                     line);
        }
        QVERIFY(std::get<O>(O::parse({"--help"})).help);
    }
};

QTEST_APPLESS_MAIN(GeneratorsTest)
#include "GeneratorsTest.moc"
