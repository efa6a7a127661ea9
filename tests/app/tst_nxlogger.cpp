// Log records, file rotation, level filtering and its change at run time.
#include "app/NXLogger.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList logFiles(const QString &folder)
{
    return QDir(folder).entryList({"log_*.log"}, QDir::Files, QDir::Name);
}

QByteArray allLogs(const QString &folder)
{
    QByteArray text;
    for (const QString &name : logFiles(folder)) {
        QFile file(folder + "/" + name);
        if (file.open(QIODevice::ReadOnly))
            text += file.readAll();
    }
    return text;
}

void writeLevel(const QString &folder, int level)
{
    QFile file(folder + "/settings.ini");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[settings]\nlevel=" + QByteArray::number(level) + "\n");
}

} // namespace

class TestNXLogger : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // Keep the test framework's own handler to put back after each case.
        m_previous = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(m_previous);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup()
    {
        m_logger.reset();
        qInstallMessageHandler(m_previous);
    }

    void recordFormatAndFileName()
    {
        start(dir(), 4096);
        qDebug("first message");
        qInfo("second message with\ttab");
        QVERIFY(drtest::waitUntil([&] { return allLogs(dir()).count("\r\n") == 2; }, 5000));
        m_logger->stop();

        const QStringList files = logFiles(dir());
        QCOMPARE(files.size(), 1);
        QVERIFY2(QRegularExpression("^log_\\d{8}_\\d{6}\\.\\d{3}\\.log$")
                     .match(files.first())
                     .hasMatch(),
                 qPrintable(files.first()));
        const QList<QByteArray> records = allLogs(dir()).split('\n');
        const QRegularExpression record(
            "^\\d{4}\\.\\d{2}\\.\\d{2}_\\d{2}\\.\\d{2}\\.\\d{2}\\.\\d{3}\\tLEVEL_(\\d)\\t(.*)\\r$");
        auto m1 = record.match(QString::fromUtf8(records.value(0)));
        auto m2 = record.match(QString::fromUtf8(records.value(1)));
        QVERIFY2(m1.hasMatch(), records.value(0).constData());
        QVERIFY2(m2.hasMatch(), records.value(1).constData());
        QCOMPARE(m1.captured(1), QString("0"));
        QCOMPARE(m1.captured(2), QString("first message"));
        QCOMPARE(m2.captured(1), QString("4"));
        QCOMPARE(m2.captured(2), QString("second message with\ttab"));
    }

    void folderAndSizeLimitNormalised_data()
    {
        QTest::addColumn<bool>("trailingSlash");
        QTest::addColumn<int>("given");
        QTest::addColumn<int>("expected");
        QTest::newRow("no slash, negative") << false << -1 << 0x400000;
        QTest::newRow("slash, too large") << true << 20000000 << 0x400000;
        QTest::newRow("largest allowed") << false << 0xA00000 << 0xA00000;
        QTest::newRow("zero") << true << 0 << 0;
    }
    void folderAndSizeLimitNormalised()
    {
        QFETCH(bool, trailingSlash);
        QFETCH(int, given);
        QFETCH(int, expected);
        start(dir() + (trailingSlash ? "/" : ""), given);
        QCOMPARE(m_logger->folder(), dir() + "/");
        QCOMPARE(m_logger->sizeLimitBytes(), expected);
    }

    // With a tiny limit every record that reaches it closes the file; the next record
    // opens a new one with a later name. Nothing is lost and nothing is overwritten.
    void rotatesAtSizeLimit()
    {
        start(dir(), 100);
        const int count = 12;
        for (int i = 0; i < count; ++i)
            qInfo("rotation record %02d with some padding text", i);
        QVERIFY(drtest::waitUntil([&] { return allLogs(dir()).count("\r\n") == count; }, 5000));
        m_logger->stop();

        const QStringList files = logFiles(dir());
        // Each record is longer than 50 bytes, so every file holds one or two records.
        QVERIFY2(files.size() >= count / 2, qPrintable(files.join(' ')));
        int seen = 0;
        for (const QString &name : files) {
            QFile file(dir() + "/" + name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            const int records = int(text.count("\r\n"));
            QVERIFY(records >= 1);
            // Only the last file may stay below the limit, and the record that reached
            // the limit is the file's last one.
            if (name != files.last())
                QVERIFY2(text.size() >= 100, qPrintable(name));
            const qsizetype beforeLast = text.lastIndexOf("\r\n", text.size() - 3);
            QVERIFY2(beforeLast < 0 || beforeLast + 2 < 100, qPrintable(name));
            for (int r = 0; r < records; ++r)
                QVERIFY(text.contains(
                    QString("rotation record %1").arg(seen + r, 2, 10, QChar('0')).toUtf8()));
            seen += records;
        }
        QCOMPARE(seen, count);
    }

    void levelFromSettingsFile()
    {
        writeLevel(dir(), 1);
        start(dir(), 4096);
        QCOMPARE(m_logger->level(), 1);
        qDebug("dropped debug");
        qWarning("kept warning");
        qInfo("kept info");
        QVERIFY(drtest::waitUntil([&] { return allLogs(dir()).contains("kept info"); }, 5000));
        const QByteArray text = allLogs(dir());
        QVERIFY(!text.contains("dropped debug"));
        QVERIFY(text.contains("LEVEL_1\tkept warning"));
    }

    // Editing the file in place and replacing it atomically (write + rename, as editors
    // and our own settings writers do) both change the filter without a restart.
    void levelChangesAtRunTime()
    {
        writeLevel(dir(), 0);
        start(dir(), 4096);
        qDebug("debug before");

        writeLevel(dir(), 4);
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 4; }, 5000));
        qDebug("debug while level 4");
        qWarning("warning while level 4");
        qInfo("info while level 4");

        QSaveFile replaced(dir() + "/settings.ini");
        QVERIFY(replaced.open(QIODevice::WriteOnly));
        replaced.write("[settings]\nlevel=2\n");
        QVERIFY(replaced.commit());
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 2; }, 5000));
        qWarning("warning while level 2");
        qCritical("critical while level 2");

        // And once more in place, to show the watch followed the replaced file.
        writeLevel(dir(), 0);
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 0; }, 5000));
        qDebug("debug after");

        QVERIFY(drtest::waitUntil([&] { return allLogs(dir()).contains("debug after"); }, 5000));
        const QByteArray text = allLogs(dir());
        QVERIFY(text.contains("debug before"));
        QVERIFY(!text.contains("debug while level 4"));
        QVERIFY(!text.contains("warning while level 4"));
        QVERIFY(text.contains("info while level 4"));
        QVERIFY(!text.contains("warning while level 2"));
        QVERIFY(text.contains("critical while level 2"));
    }

    void levelParsing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("level");
        QTest::newRow("other group first")
            << QByteArray("[other]\nlevel=5\n[settings]\nlevel = 2\n") << 2;
        QTest::newRow("key in other group only") << QByteArray("[general]\nlevel=3\n") << 0;
        QTest::newRow("not a number") << QByteArray("[settings]\nlevel=high\n") << 0;
        QTest::newRow("comment and crlf") << QByteArray("; note\r\n[settings]\r\nlevel=4\r\n") << 4;
    }
    void levelParsing()
    {
        QFETCH(QByteArray, content);
        QFile file(dir() + "/settings.ini");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        start(dir(), 4096);
        QTEST(m_logger->level(), "level");
    }

    void settingsFileCreatedLater()
    {
        start(dir(), 4096);
        QCOMPARE(m_logger->level(), 0);
        writeLevel(dir(), 3);
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 3; }, 5000));
    }

    void missingFolderWritesNothing()
    {
        const QString missing = dir() + "/does/not/exist";
        start(missing, 4096);
        qInfo("goes nowhere");
        // The worker gives up on the first record; stop must still return.
        QTest::qWait(300);
        m_logger->stop();
        QVERIFY(!QFileInfo::exists(missing));
        QVERIFY(logFiles(dir()).isEmpty());
    }

    void messagesAfterStopAreDropped()
    {
        start(dir(), 4096);
        qInfo("before stop");
        QVERIFY(drtest::waitUntil([&] { return allLogs(dir()).contains("before stop"); }, 5000));
        m_logger->stop();
        qInfo("after stop");
        QTest::qWait(200);
        QVERIFY(!allLogs(dir()).contains("after stop"));
    }

    // Several threads log at once; every record arrives whole (no interleaving).
    void concurrentWriters()
    {
        start(dir(), 0x400000);
        const int threads = 4, perThread = 200;
        QList<QThread *> workers;
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([t] {
                for (int i = 0; i < perThread; ++i) {
                    qInfo("thread %d message %d", t, i);
                    if (i % 50 == 49)
                        QThread::msleep(20); // stay below the backlog limit
                }
            });
            workers.last()->start();
        }
        for (QThread *w : workers) {
            w->wait();
            delete w;
        }
        QVERIFY(drtest::waitUntil(
            [&] { return allLogs(dir()).count("\r\n") == threads * perThread; }, 10000));
        const QList<QByteArray> lines = allLogs(dir()).split('\n');
        const QRegularExpression record("\\tLEVEL_4\\tthread \\d message \\d+\\r$");
        for (const QByteArray &line : lines)
            if (!line.isEmpty())
                QVERIFY2(record.match(QString::fromUtf8(line)).hasMatch(), line.constData());
    }

private:
    QString dir() const { return m_dir->path(); }
    void start(const QString &folder, int limit)
    {
        m_logger = std::make_unique<NXLogger>();
        m_logger->start(folder, limit);
    }

    QtMessageHandler m_previous = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;

    std::unique_ptr<NXLogger> m_logger;
};

QTEST_GUILESS_MAIN(TestNXLogger)
#include "tst_nxlogger.moc"
