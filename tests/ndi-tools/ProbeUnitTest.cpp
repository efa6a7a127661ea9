// Unit tests of ndi-probe's pieces that scripts depend on: the command line, the source
// name match and the peak meter that reports audio levels.
#include "AudioPeakMeter.h"
#include "ProbeOptions.h"

#include <QTest>
#include <cmath>

class ProbeUnitTest : public QObject
{
    Q_OBJECT

private slots:
    void nameMatch()
    {
        for (const char *name : {"Bars", "HOST (Bars)"})
            QVERIFY(sourceNameMatches("HOST (Bars)", name));
        QVERIFY(sourceNameMatches("HOST (Cam (1))", "Cam (1)"));
        QVERIFY(!sourceNameMatches("HOST (Bars 2)", "Bars"));
        for (const char *name : {"Bar", "HOST", "ars)"})
            QVERIFY2(!sourceNameMatches("HOST (Bars)", name), name);
        QVERIFY(!sourceNameMatches("Bars", "ars") && !sourceNameMatches("", "Bars"));
    }

    void peakMeter()
    {
        AudioPeakMeter meter;
        QCOMPARE(meter.peakDbList(), std::string());
        // Two channels with a padded stride: the padding must not be read as samples.
        const int samples = 100, stride = 128 * int(sizeof(float));
        std::vector<float> planar(256, 0.9f);
        for (int i = 0; i < samples; ++i) {
            planar[size_t(i)] = float(0.5 * std::sin(i * 0.3));
            planar[size_t(128 + i)] = i == 7 ? -0.25f : 0.0f;
        }
        meter.add(planar.data(), 2, samples, stride);
        QCOMPARE(meter.channels(), 2);
        QCOMPARE(meter.samples(), 100LL);
        QVERIFY(std::fabs(meter.peakDb(0) - 20 * std::log10(0.5)) < 0.05);
        QVERIFY(std::fabs(meter.peakDb(1) - 20 * std::log10(0.25)) < 1e-6);
        QVERIFY(std::isinf(meter.peakDb(5)));
        // Peaks are kept across blocks; a later louder block raises them.
        std::vector<float> loud(100, 1.0f);
        meter.add(loud.data(), 1, 100, 0);
        QCOMPARE(meter.peakDbList(), std::string("0.00,-12.04"));
        std::vector<float> nan(4, std::nanf(""));
        meter.add(nan.data(), 1, 4, 0);
        QCOMPARE(meter.peakDb(0), 0.0);
        AudioPeakMeter silent;
        std::vector<float> zero(10, 0.0f);
        silent.add(zero.data(), 1, 10, 0);
        QCOMPARE(silent.peakDbList(), std::string("-inf"));
        silent.add(nullptr, 1, 10, 0);
        silent.add(zero.data(), 0, 10, 0);
        QCOMPARE(silent.samples(), 10LL);
    }

    void commandLine()
    {
        using O = ProbeOptions;
        // (--list, --watch, --seconds and --extra-ips are used by the process and netns tests.)
        auto list = std::get<O>(O::parse({"--list", "--groups", "a,b"}));
        QVERIFY(list.mode == O::Mode::List && list.groups == "a,b");

        auto recv = std::get<O>(O::parse({"--recv", "Bars", "--low", "--tally", "program,preview",
                                          "--send-metadata", "<a/>", "--send-metadata", "<b/>"}));
        QCOMPARE(recv.recvName, std::string("Bars"));
        QVERIFY(recv.low && recv.setTally && recv.tallyProgram && recv.tallyPreview);
        QCOMPARE(recv.sendMetadata.size(), size_t(2));
        auto none = std::get<O>(O::parse({"--recv", "Bars", "--tally", "none"}));
        QVERIFY(none.setTally && !none.tallyProgram && !none.tallyPreview);

        // Bad combinations and values are errors (arguments split at spaces).
        QVERIFY(std::holds_alternative<std::string>(O::parse({})));
        for (const char *line :
             {"--list --recv X", "--recv ", "--list --low", "--list --tally program",
              "--recv X --watch", "--recv X --tally on", "--recv X --low --audio-only",
              "--list --seconds soon", "--list --frobnicate"}) {
            std::vector<std::string> args;
            for (const QString &arg : QString(line).split(' '))
                args.push_back(arg.toStdString());
            QVERIFY2(std::holds_alternative<std::string>(O::parse(args)), line);
        }
    }
};

QTEST_APPLESS_MAIN(ProbeUnitTest)
#include "ProbeUnitTest.moc"
