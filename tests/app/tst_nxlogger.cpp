// Log records, file rotation, level filtering and its change at run time, a missing
// folder, and several threads logging at once.
#include "app/NXLogger.h"

#include "TestSupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

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
        m_logger = std::make_unique<NXLogger>();
    }

    void cleanup()
    {
        m_logger.reset();
        qInstallMessageHandler(m_previous);
    }

    void recordFormatAndFolder()
    {
        m_logger->start(dir() + "/", -1);
        QCOMPARE(m_logger->sizeLimitBytes(), 0x400000); // a limit below 1 is the default
        qDebug("first message");
        qInfo("second message with\ttab");
        QVERIFY(waitForRecords(2));
        m_logger->stop();
        qInfo("after stop");

        const QStringList files = logFiles();
        QCOMPARE(files.size(), 1);
        QVERIFY2(
            QRegularExpression("^log_\\d{8}_\\d{6}\\.\\d{3}\\.log$").match(files[0]).hasMatch(),
            qPrintable(files[0]));
        const QRegularExpression record(
            "^\\d{4}\\.\\d\\d\\.\\d\\d_\\d\\d\\.\\d\\d\\.\\d\\d\\.\\d{3}"
            "\\tLEVEL_0\\tfirst message\\r\\n\\d[^\\t]+"
            "\\tLEVEL_4\\tsecond message with\\ttab\\r\\n$");
        QVERIFY2(record.match(logs()).hasMatch(), qPrintable(logs()));

        // A missing folder is not made and gets nothing; stop() still returns although the
        // worker gave up on the first record.
        const QString missing = dir() + "/does/not/exist";
        m_logger = std::make_unique<NXLogger>();
        m_logger->start(missing, 4096);
        qInfo("goes nowhere");
        QTest::qWait(300);
        m_logger->stop();
        QVERIFY(!QFileInfo::exists(missing));
        QCOMPARE(logFiles(), files);
    }

    // Each file ends with the record that reached the limit; nothing is lost or overwritten.
    void rotatesAtSizeLimit()
    {
        m_logger->start(dir(), 100);
        const int count = 12;
        for (int i = 0; i < count; ++i)
            qInfo("rotation record %02d with some padding text", i);
        QVERIFY(waitForRecords(count));
        m_logger->stop();

        const QStringList files = logFiles();
        QVERIFY2(files.size() >= count / 2, qPrintable(files.join(' ')));
        for (const QString &name : files) {
            QFile file(dir() + "/" + name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            const qsizetype beforeLast = text.lastIndexOf("\r\n", text.size() - 3);
            QVERIFY2((text.size() >= 100 || name == files.last()) && beforeLast + 2 < 100,
                     qPrintable(name));
        }
        const QString all = logs();
        for (int i = 0; i < count; ++i)
            QVERIFY(all.contains(QString::asprintf("record %02d ", i)));
    }

    // Created later, edited in place and replaced atomically (as editors and our settings
    // writers do): each changes the filter without a restart.
    void levelChangesAtRunTime()
    {
        m_logger->start(dir(), 4096);
        qDebug("debug before");
        writeSettings("[general]\nlevel=3\n"); // another group's key is not the level
        QTest::qWait(300);
        QCOMPARE(m_logger->level(), 0);
        writeSettings("; note\r\n[other]\nlevel=5\r\n[settings]\r\nlevel = 4\r\n");
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 4; }, 5000));
        qDebug("debug while level 4");
        qWarning("warning while level 4");
        qInfo("info while level 4");

        QVERIFY(drtest::writeFile(dir() + "/settings.ini", "[settings]\nlevel=2\n")); // replaced
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 2; }, 5000));
        qWarning("warning while level 2");
        qCritical("critical while level 2");

        writeSettings("[settings]\nlevel=0\n"); // the watch follows the replaced file
        QVERIFY(drtest::waitUntil([&] { return m_logger->level() == 0; }, 5000));
        qDebug("debug after");
        QVERIFY(drtest::waitUntil([&] { return logs().contains("debug after"); }, 5000));
        const QString text = logs();
        for (const char *kept : {"debug before", "info while level 4", "critical while level 2"})
            QVERIFY2(text.contains(kept), kept);
        for (const char *dropped : {"debug while", "warning while"})
            QVERIFY2(!text.contains(dropped), dropped);
    }

    // Several threads log at once; every record arrives whole.
    void concurrentWriters()
    {
        m_logger->start(dir(), 0x400000);
        const int threads = 4, perThread = 200;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([t] {
                for (int i = 0; i < perThread; ++i) {
                    qInfo("thread %d message %d", t, i);
                    if (i % 50 == 49)
                        QThread::msleep(20); // stay below the backlog limit
                }
            });
        for (auto &w : workers)
            w.join();
        QVERIFY(waitForRecords(threads * perThread, 10000));
        const QRegularExpression record("^[^\\t]+\\tLEVEL_4\\tthread \\d message \\d+\\r$");
        for (const QString &line : logs().split('\n', Qt::SkipEmptyParts))
            QVERIFY2(record.match(line).hasMatch(), qPrintable(line));
    }

private:
    QString dir() const { return m_dir->path(); }
    QStringList logFiles() const
    {
        return QDir(dir()).entryList({"log_*.log"}, QDir::Files, QDir::Name);
    }
    QString logs() const { return QString::fromUtf8(drtest::readLogs(dir())); }
    bool waitForRecords(int count, int timeoutMs = 5000)
    {
        return drtest::waitUntil([&] { return logs().count("\r\n") == count; }, timeoutMs);
    }
    void writeSettings(const QByteArray &content)
    {
        QFile file(dir() + "/settings.ini");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    QtMessageHandler m_previous = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<NXLogger> m_logger;
};

QTEST_GUILESS_MAIN(TestNXLogger)
#include "tst_nxlogger.moc"
