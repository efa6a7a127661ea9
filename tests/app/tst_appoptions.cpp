// Command-line parsing of desk-recorder (the separate-value form "--http-port 8080" is the
// one every integration test starts the binary with).
#include "app/AppOptions.h"

#include <QDir>
#include <QtTest>

class TestAppOptions : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("headless");
        QTest::addColumn<bool>("developing");
        QTest::addColumn<int>("httpPort");
        QTest::addColumn<int>("wsPort");
        QTest::addColumn<QString>("dataDir");
        QTest::newRow("defaults") << QStringList{} << false << false << 65534 << 12345 << "";
        QTest::newRow("inline values, relative data dir becomes absolute")
            << QStringList{"--http-port=1", "--ws-port=65535", "--data-dir=rel/dir", "--developing",
                           "--headless"}
            << true << true << 1 << 65535 << QDir::current().absoluteFilePath("rel/dir");
    }
    void accepted()
    {
        QFETCH(QStringList, args);
        AppOptions options;
        QString error;
        QVERIFY2(AppOptions::parse(QStringList{"desk-recorder"} + args, &options, &error),
                 qPrintable(error));
        QTEST(options.headless, "headless");
        QTEST(options.developing, "developing");
        QTEST(int(options.httpPort), "httpPort");
        QTEST(int(options.wsPort), "wsPort");
        QTEST(options.dataDir, "dataDir");
    }

    void refused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("unknown option") << QStringList{"--fullscreen"} << "--fullscreen";
        QTest::newRow("stray word") << QStringList{"extra"} << "extra";
        QTest::newRow("missing port") << QStringList{"--http-port"} << "--http-port";
        QTest::newRow("port too large") << QStringList{"--http-port", "65536"} << "--http-port";
        QTest::newRow("port not a number") << QStringList{"--http-port", "80x"} << "--http-port";
        QTest::newRow("empty folder") << QStringList{"--data-dir="} << "--data-dir";
        QTest::newRow("flag with value") << QStringList{"--headless=yes"} << "--headless";
        QTest::newRow("same ports") << QStringList{"--http-port", "12345"} << "must differ";
    }
    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, mentions);
        AppOptions options;
        options.httpPort = 1111; // must stay untouched on failure
        QString error;
        QVERIFY(!AppOptions::parse(QStringList{"desk-recorder"} + args, &options, &error));
        QVERIFY2(error.contains(mentions), qPrintable(error));
        QCOMPARE(options.httpPort, quint16(1111));
    }
};

QTEST_GUILESS_MAIN(TestAppOptions)
#include "tst_appoptions.moc"
