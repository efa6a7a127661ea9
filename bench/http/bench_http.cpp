// Throughput and latency of /api/output/get.json with twenty windows, measured with wrk
// under concurrent connections, beside nginx serving the same JSON as a static file in
// the same run. A constant route of the application shows what its HTTP layer alone
// costs. Prints the figures; never fails on timing.
//
// Usage: bench_http [--duration S] [--connections N[,N...]] [--threads T]
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

struct WrkResult
{
    bool ok = false;
    double requestsPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    QString error;
};

double toMs(const QString &value, const QString &unit)
{
    const double v = value.toDouble();
    if (unit == "us")
        return v / 1000.0;
    if (unit == "s")
        return v * 1000.0;
    if (unit == "m")
        return v * 60000.0;
    return v; // ms
}

WrkResult runWrk(const QString &url, int threads, int connections, int seconds)
{
    WrkResult result;
    drtest::ChildProcess wrk;
    if (!wrk.start("wrk", {"-t" + QString::number(threads), "-c" + QString::number(connections),
                           "-d" + QString::number(seconds) + "s", "--latency", url})) {
        result.error = "cannot start wrk";
        return result;
    }
    drtest::waitUntil([&] { return !wrk.isRunning(); }, (seconds + 30) * 1000);
    wrk.stop();
    const QString out = wrk.output();
    const auto rps = QRegularExpression("Requests/sec:\\s+([0-9.]+)").match(out);
    const auto p50 = QRegularExpression("\\n\\s+50%\\s+([0-9.]+)(us|ms|s|m)").match(out);
    const auto p99 = QRegularExpression("\\n\\s+99%\\s+([0-9.]+)(us|ms|s|m)").match(out);
    if (!rps.hasMatch() || !p99.hasMatch() || !p50.hasMatch()) {
        result.error = "unexpected wrk output:\n" + out;
        return result;
    }
    if (out.contains("Non-2xx or 3xx responses")) {
        result.error = "error replies:\n" + out;
        return result;
    }
    result.ok = true;
    result.requestsPerSecond = rps.captured(1).toDouble();
    result.p50Ms = toMs(p50.captured(1), p50.captured(2));
    result.p99Ms = toMs(p99.captured(1), p99.captured(2));
    return result;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// nginx with its own prefix and configuration in `dir`, on 127.0.0.1:port, serving
// dir/www. Stopped by PID through ChildProcess.
bool startNginx(drtest::ChildProcess &nginx, const QString &dir, quint16 port)
{
    QDir().mkpath(dir + "/logs");
    QDir().mkpath(dir + "/tmp");
    const QByteArray conf = QStringLiteral("worker_processes 1;\n"
                                           "pid %1/nginx.pid;\n"
                                           "error_log %1/logs/error.log warn;\n"
                                           "events { worker_connections 1024; }\n"
                                           "http {\n"
                                           "  access_log off;\n"
                                           "  client_body_temp_path %1/tmp/body;\n"
                                           "  proxy_temp_path %1/tmp/proxy;\n"
                                           "  fastcgi_temp_path %1/tmp/fastcgi;\n"
                                           "  uwsgi_temp_path %1/tmp/uwsgi;\n"
                                           "  scgi_temp_path %1/tmp/scgi;\n"
                                           "  default_type application/json;\n"
                                           "  keepalive_requests 1000000;\n"
                                           "  server {\n"
                                           "    listen 127.0.0.1:%2;\n"
                                           "    root %1/www;\n"
                                           "  }\n"
                                           "}\n")
                                .arg(dir)
                                .arg(port)
                                .toUtf8();
    if (!writeFile(dir + "/nginx.conf", conf))
        return false;
    if (!nginx.start("nginx", {"-p", dir, "-c", dir + "/nginx.conf", "-g", "daemon off;"}))
        return false;
    const QString url = QStringLiteral("http://127.0.0.1:%1/api/output/get.json").arg(port);
    return drtest::waitUntil(
               [&] { return !nginx.isRunning() || drtest::httpGet(url, 500).status == 200; },
               10000) &&
           nginx.isRunning();
}

void print(const char *server, int connections, const WrkResult &r)
{
    if (!r.ok) {
        std::printf("%-14s %6d   failed: %s\n", server, connections, qPrintable(r.error));
        return;
    }
    std::printf("%-14s %6d %12.0f %10.3f %10.3f\n", server, connections, r.requestsPerSecond,
                r.p50Ms, r.p99Ms);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 5;
    int threads = 2;
    QList<int> connectionCounts{4, 32};
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--duration")
            seconds = qMax(1, args[i + 1].toInt());
        else if (args[i] == "--threads")
            threads = qMax(1, args[i + 1].toInt());
        else if (args[i] == "--connections") {
            connectionCounts.clear();
            for (const QString &n : args[i + 1].split(','))
                if (n.toInt() > 0)
                    connectionCounts << n.toInt();
        }
    }
    if (connectionCounts.isEmpty())
        connectionCounts << 32;

    // The application with twenty named windows that all have sources.
    drtest::AppInstance desk;
    if (!desk.start()) {
        std::fprintf(stderr, "bench_http: desk-recorder did not start\n");
        return 1;
    }
    desk.post("/api/output/setLayout.json", {{"layout_id", 5}, {"layout_number", 20}});
    for (int position = 1; position <= 20; ++position) {
        desk.post("/api/output/setName.json",
                  {{"position", position}, {"name", QString("Camera %1").arg(position)}});
        desk.post("/api/output/setSource.json",
                  {{"type", "source"},
                   {"position", position},
                   {"stream_id", QString("STUDIO-PC-%1 (Camera %1)").arg(position)}});
    }
    const drtest::HttpReply reply = desk.get("/api/output/get.json");
    const int windows = reply.json().value("data").toObject().value("layout").toArray().size();
    if (reply.status != 200 || windows != 20) {
        std::fprintf(stderr, "bench_http: expected 20 windows, got %d\n", windows);
        return 1;
    }

    // nginx serving the same bytes as a static file.
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                          QFileDevice::ExeGroup);
    QDir().mkpath(dir.path() + "/www/api/output");
    writeFile(dir.path() + "/www/api/output/get.json", reply.body);
    const quint16 nginxPort = drtest::freeTcpPort();
    drtest::ChildProcess nginx;
    const bool haveNginx = startNginx(nginx, dir.path(), nginxPort);
    if (!haveNginx)
        std::fprintf(stderr, "bench_http: nginx did not start; %s\n",
                     qPrintable(nginx.output().left(2000)));

    std::printf("GET /api/output/get.json, 20 windows, %lld bytes; wrk %d threads, %d s per run\n",
                static_cast<long long>(reply.body.size()), threads, seconds);
    std::printf("%-14s %6s %12s %10s %10s\n", "server", "conns", "requests/s", "p50 ms", "p99 ms");
    for (int connections : connectionCounts) {
        const WrkResult ours =
            runWrk(desk.url("/api/output/get.json"), threads, connections, seconds);
        print("desk-recorder", connections, ours);
        // The same server answering a constant reply: what the HTTP layer alone costs.
        print("  (ntp/diff)", connections,
              runWrk(desk.url("/api/ntp/diff.json"), threads, connections, seconds));
        if (!haveNginx)
            continue;
        const WrkResult theirs =
            runWrk(QStringLiteral("http://127.0.0.1:%1/api/output/get.json").arg(nginxPort),
                   threads, connections, seconds);
        print("nginx static", connections, theirs);
        if (ours.ok && theirs.ok && theirs.requestsPerSecond > 0)
            std::printf("%-14s %6d %11.0f%%   (target: at least 50%% of nginx, p99 under 10 ms)\n",
                        "ratio", connections,
                        100.0 * ours.requestsPerSecond / theirs.requestsPerSecond);
    }
    std::fflush(stdout);
    nginx.stop();
    desk.stop();
    return 0;
}
