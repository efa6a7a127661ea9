// The recorder's command line and standard-input parser.
#include "ControlParser.h"
#include "RecorderOptions.h"

#include <QTest>

using Type = ControlCommand::Type;

class RecorderControlTest : public QObject
{
    Q_OBJECT

private slots:
    void lines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("type");       // -1: ignored
        QTest::addColumn<QString>("result"); // filename, or a word of the error
        QTest::newRow("start") << QByteArray("  <start/>\r") << int(Type::Start) << "";
        QTest::newRow("start spaced") << QByteArray("<start />") << int(Type::Start) << "";
        QTest::newRow("exit") << QByteArray("<exit/>") << int(Type::Exit) << "";
        QTest::newRow("blank") << QByteArray(" \t") << -1 << "";
        QTest::newRow("chop") << QByteArray("<record_chop filename=\"/a b/c.mov\"/>")
                              << int(Type::Chop) << "/a b/c.mov";
        QTest::newRow("chop entities")
            << QByteArray("<record_chop filename = 'a&amp;b&quot;&#233;&#x4E2D;.mov' />")
            << int(Type::Chop) << QString::fromUtf8("a&b\"\xc3\xa9\xe4\xb8\xad.mov");
        QTest::newRow("unknown") << QByteArray("<stop/>") << int(Type::Error) << "unknown";
        QTest::newRow("not closed") << QByteArray("<start>") << int(Type::Error) << "empty";
        QTest::newRow("text") << QByteArray("start") << int(Type::Error) << "empty";
        QTest::newRow("no name") << QByteArray("< />") << int(Type::Error) << "name";
        QTest::newRow("extra attr")
            << QByteArray("<start now=\"1\"/>") << int(Type::Error) << "unexpected";
        QTest::newRow("no filename")
            << QByteArray("<record_chop/>") << int(Type::Error) << "filename";
        QTest::newRow("empty filename")
            << QByteArray("<record_chop filename=\"\"/>") << int(Type::Error) << "filename";
        QTest::newRow("twice") << QByteArray("<record_chop filename=\"a\" filename=\"b\"/>")
                               << int(Type::Error) << "unexpected";
        QTest::newRow("unquoted") << QByteArray("<record_chop filename=a/>") << int(Type::Error)
                                  << "quoted";
        QTest::newRow("open quote")
            << QByteArray("<record_chop filename=\"a/>") << int(Type::Error) << "closed";
        QTest::newRow("bad entity")
            << QByteArray("<record_chop filename=\"a&b;\"/>") << int(Type::Error) << "reference";
        QTest::newRow("nul ref") << QByteArray("<record_chop filename=\"a&#0;\"/>")
                                 << int(Type::Error) << "reference";
        QTest::newRow("lt") << QByteArray("<record_chop filename=\"a<b\"/>") << int(Type::Error)
                            << "character";
    }
    void lines()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, type);
        QFETCH(QString, result);
        const auto c = ControlParser::parseLine(line.toStdString());
        QCOMPARE(c.has_value(), type >= 0);
        if (!c)
            return;
        QCOMPARE(int(c->type), type);
        if (type == int(Type::Chop))
            QCOMPARE(QString::fromStdString(c->filename), result);
        if (type == int(Type::Error))
            QVERIFY2(QString::fromStdString(c->error).contains(result), c->error.c_str());
    }

    // Lines split across reads, an overlong line dropped up to its newline, a last line
    // without newline at the end of input.
    void stream()
    {
        ControlParser p;
        std::vector<ControlCommand> out;
        p.feed("<sta", out);
        p.feed("rt/>\n<exit", out);
        QCOMPARE(out.size(), size_t(1));
        p.feed(std::string(ControlParser::kMaxLineBytes + 10, 'x'), out);
        p.feed("<start/>\n<record_chop filename=\"f\"/>", out);
        QCOMPARE(out.size(), size_t(2));
        QCOMPARE(out[1].type, Type::Error);
        p.finish(out);
        QCOMPARE(out.size(), size_t(3));
        QCOMPARE(out[2].filename, std::string("f"));
    }

    void options()
    {
        const auto ok = RecorderOptions::parse({"-i",
                                                "HOST (Cam)",
                                                "-u",
                                                "10.0.0.1:5961",
                                                "-o",
                                                "a.mov",
                                                "-noautostart",
                                                "-nothumbnail",
                                                "-codec",
                                                "utvideo",
                                                "-cfr",
                                                "0",
                                                "-split-size",
                                                "1024",
                                                "-split-time",
                                                "60",
                                                "-max-queue-mib",
                                                "64",
                                                "-timeout",
                                                "0"});
        QVERIFY(std::holds_alternative<RecorderOptions>(ok));
        const RecorderOptions &o = std::get<RecorderOptions>(ok);
        QVERIFY(!o.autostart && !o.cfr && o.codec == RecorderOptions::Codec::UtVideo);
        QCOMPARE(o.splitSizeMiB, 1024);
        QCOMPARE(o.maxQueueMiB, 64);
        QCOMPARE(o.address, std::string("10.0.0.1:5961"));
        for (const std::vector<std::string> &bad : {std::vector<std::string>{"-i", "s"},
                                                    {"-o", "a"},
                                                    {"-i", "s", "-o", "a", "-cfr", "yes"},
                                                    {"-i", "s", "-o", "a", "-split-size", "1e9"},
                                                    {"-i", "", "-o", "a"},
                                                    {"-i", "s", "-o", "a", "-timeout", "nan"},
                                                    {"-i", "s", "-o", "a", "-x"}})
            QVERIFY(std::holds_alternative<std::string>(RecorderOptions::parse(bad)));
    }
};

QTEST_GUILESS_MAIN(RecorderControlTest)
#include "tst_recorder_control.moc"
