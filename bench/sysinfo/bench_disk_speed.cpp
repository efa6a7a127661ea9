// Compares the write rate measured by res/bin/disk/disk-speed-test with dd writing the
// same amount of data with direct I/O and the same block size into the same folder,
// alternating the two so that both see the same disk conditions.
//
// usage: bench_disk_speed [folder (default: the build folder)] [seconds per run (10)]
//                         [rounds (2)] [block bytes (4096)]
// Prints one line per run and a summary; never fails on the figures.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>

namespace {

// MB/s (10^6 bytes per second) reported by the tool; -1 when it failed.
double runTool(const QString &tool, const QString &folder, int blockBytes, int seconds)
{
    QProcess p;
    p.start(tool, {"-path", folder, "-bs", QString::number(blockBytes), "-time",
                   QString::number(seconds * 1000), "-thread", "1", "-span", "10000"});
    if (!p.waitForFinished(seconds * 1000 + 120000) || p.exitCode() != 0) {
        std::fprintf(stderr, "disk-speed-test failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    const QRegularExpressionMatch m = QRegularExpression("result=([0-9.]+)")
                                          .match(QString::fromLatin1(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

// MB/s of dd writing `count` blocks with O_DIRECT and a final fdatasync; -1 on failure.
double runDd(const QString &folder, int blockBytes, qint64 count)
{
    const QString file = folder + "/dd-bench.tmp";
    QProcess p;
    p.start("dd", {"if=/dev/zero", "of=" + file, "bs=" + QString::number(blockBytes),
                   "count=" + QString::number(count), "oflag=direct", "conv=fdatasync"});
    const bool finished = p.waitForFinished(600000);
    QFile::remove(file);
    const QString err = QString::fromLatin1(p.readAllStandardError());
    if (!finished || p.exitCode() != 0) {
        std::fprintf(stderr, "dd failed: %s\n", qPrintable(err));
        return -1;
    }
    // "<bytes> bytes (...) copied, <seconds> s, <rate> MB/s"
    const QRegularExpressionMatch m =
        QRegularExpression("(\\d+) bytes .*copied, ([0-9.,e-]+) s").match(err);
    if (!m.hasMatch())
        return -1;
    const double seconds = QString(m.captured(2)).replace(',', '.').toDouble();
    return seconds > 0 ? m.captured(1).toDouble() / 1e6 / seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString buildDir = QDir(QCoreApplication::applicationDirPath() + "/..").canonicalPath();
    const QString base =
        argc > 1 && argv[1][0] != '\0' ? QString::fromLocal8Bit(argv[1]) : buildDir;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 2;
    const int blockBytes = argc > 4 ? std::max(512, atoi(argv[4])) : 4096;
    const QString tool = buildDir + "/res/bin/disk/disk-speed-test";

    QTemporaryDir dir(base + "/bench-disk-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", qPrintable(base));
        return 1;
    }
    std::printf("disk speed: %s, block %d bytes, %d s per tool run, %d rounds\n",
                qPrintable(dir.path()), blockBytes, seconds, rounds);
    double toolSum = 0;
    double ddSum = 0;
    int done = 0;
    // Odd rounds run the tool first, even rounds dd first (with the amount of the previous
    // tool run), so that neither always follows the other's clean-up.
    qint64 count = 0;
    for (int round = 1; round <= rounds; ++round) {
        double toolRate = -1;
        double ddRate = -1;
        if (round % 2 == 1 || count == 0) {
            toolRate = runTool(tool, dir.path(), blockBytes, seconds);
            if (toolRate <= 0)
                continue;
            // dd writes what the tool wrote, so both cover the same span of disk.
            count = qMax<qint64>(1, qint64(toolRate * 1e6 * seconds / blockBytes));
            ddRate = runDd(dir.path(), blockBytes, count);
        } else {
            ddRate = runDd(dir.path(), blockBytes, count);
            toolRate = runTool(tool, dir.path(), blockBytes, seconds);
        }
        if (toolRate <= 0 || ddRate <= 0)
            continue;
        std::printf("round %d: disk-speed-test %.2f MB/s, dd %.2f MB/s (%lld blocks), ratio %.3f\n",
                    round, toolRate, ddRate, static_cast<long long>(count), toolRate / ddRate);
        std::fflush(stdout);
        toolSum += toolRate;
        ddSum += ddRate;
        ++done;
    }
    if (done == 0) {
        std::printf("no complete round\n");
        return 0;
    }
    const double ratio = toolSum / ddSum;
    std::printf(
        "mean: disk-speed-test %.2f MB/s, dd %.2f MB/s, ratio %.3f (target 0.90 .. 1.10: %s)\n",
        toolSum / done, ddSum / done, ratio, ratio >= 0.9 && ratio <= 1.1 ? "met" : "missed");
    return 0;
}
