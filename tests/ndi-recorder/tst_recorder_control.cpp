// The recorder's command line and standard-input parser.
#include "ControlParser.h"
#include "RecorderOptions.h"

#include <QTest>

using Type = ControlCommand::Type;

// The command line "a|b|c" (arguments separated by '|') parsed.
static auto parse(const QByteArray &line)
{
    std::vector<std::string> args;
    for (const QByteArray &arg : line.split('|'))
        args.push_back(arg.toStdString());
    return RecorderOptions::parse(args);
}

class RecorderControlTest : public QObject
{
    Q_OBJECT

private slots:
    void lines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("type");       // -1: ignored
        QTest::addColumn<QString>("result"); // filename, or a word of the error
        const auto row = [](const char *name, const char *line, Type type, const char *result) {
            QTest::newRow(name) << QByteArray(line) << int(type) << QString::fromUtf8(result);
        };
        const Type Error = Type::Error;
        row("start", "  <start/>\r", Type::Start, "");
        row("start spaced", "<start />", Type::Start, "");
        row("exit", "<exit/>", Type::Exit, "");
        QTest::newRow("blank") << QByteArray(" \t") << -1 << "";
        row("chop", "<record_chop filename=\"/a b/c.mov\"/>", Type::Chop, "/a b/c.mov");
        row("chop entities", "<record_chop filename = 'a&amp;b&quot;&#233;&#x4E2D;.mov' />",
            Type::Chop, "a&b\"\xc3\xa9\xe4\xb8\xad.mov");
        row("unknown", "<stop/>", Error, "unknown");
        row("not closed", "<start>", Error, "empty");
        row("text", "start", Error, "empty");
        row("no name", "< />", Error, "name");
        row("extra attr", "<start now=\"1\"/>", Error, "unexpected");
        row("no filename", "<record_chop/>", Error, "filename");
        row("empty filename", "<record_chop filename=\"\"/>", Error, "filename");
        row("twice", "<record_chop filename=\"a\" filename=\"b\"/>", Error, "unexpected");
        row("unquoted", "<record_chop filename=a/>", Error, "quoted");
        row("open quote", "<record_chop filename=\"a/>", Error, "closed");
        row("bad entity", "<record_chop filename=\"a&b;\"/>", Error, "reference");
        row("nul ref", "<record_chop filename=\"a&#0;\"/>", Error, "reference");
        row("lt", "<record_chop filename=\"a<b\"/>", Error, "character");
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
        const auto ok = parse("-i|HOST (Cam)|-u|10.0.0.1:5961|-o|a.mov|-noautostart|-nothumbnail|"
                              "-codec|utvideo|-cfr|0|-split-size|1024|-split-time|60|"
                              "-max-queue-mib|64|-timeout|0");
        QVERIFY(std::holds_alternative<RecorderOptions>(ok));
        const RecorderOptions &o = std::get<RecorderOptions>(ok);
        QVERIFY(!o.autostart && !o.cfr && o.codec == RecorderOptions::Codec::UtVideo);
        QCOMPARE(o.splitSizeMiB, 1024);
        QCOMPARE(o.maxQueueMiB, 64);
        QCOMPARE(o.address, std::string("10.0.0.1:5961"));
        for (const char *bad : {"-i|s", "-o|a", "-i|s|-o|a|-cfr|yes", "-i|s|-o|a|-split-size|1e9",
                                "-i||-o|a", "-i|s|-o|a|-timeout|nan", "-i|s|-o|a|-x"})
            QVERIFY2(std::holds_alternative<std::string>(parse(bad)), bad);
    }
};

QTEST_GUILESS_MAIN(RecorderControlTest)
#include "tst_recorder_control.moc"
