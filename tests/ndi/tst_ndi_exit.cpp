// Our runtime at process exit, as programs written for any runtime treat it: one that exits
// with its sender, finder and receiver still running, and one whose handles are destroyed
// from its own exit handlers after NDIlib_destroy (so after the runtime's own exit handlers
// have run). Each runs in a child process of this test; the child must end with 0 and
// without a sanitizer report, every round.
#include "ndi/NdiLibrary.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <TestSupport.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr const char *kModeEnv = "DR_NDI_EXIT_MODE";

// The handles a child leaves for its exit.
struct Handles
{
    const NdiLibrary *lib = nullptr;
    NDIlib_send_instance_t sender = nullptr;
    NDIlib_find_instance_t finder = nullptr;
    NDIlib_recv_instance_t receiver = nullptr;
};

// Destroys the handles from an exit handler of the program. Constructed before the runtime
// is loaded, so it is destroyed after every exit handler of the runtime.
struct LateDestroyer
{
    Handles handles;
    ~LateDestroyer()
    {
        if (!handles.lib)
            return;
        const NdiFunctions &api = handles.lib->api();
        api.destroy();
        api.recv_destroy(handles.receiver);
        api.find_destroy(handles.finder);
        api.send_destroy(handles.sender);
        std::fputs("late destruction done\n", stdout);
    }
};

// Child: a sender, a finder that lists it and a receiver connected to it, all running.
int runChild(const char *mode)
{
    const bool late = std::strcmp(mode, "late") == 0;
    static LateDestroyer *destroyer = nullptr;
    if (late) {
        static LateDestroyer instance;
        destroyer = &instance;
    }
    std::string why;
    const NdiLibrary *lib = NdiLibrary::loadFile(std::getenv("DESK_RECORDER_NDI_LIB"), &why)
                                .release(); // kept loaded, as applications keep the runtime
    if (!lib) {
        std::fprintf(stderr, "cannot load the runtime: %s\n", why.c_str());
        return 3;
    }
    const NdiFunctions &api = lib->api();
    Handles h;
    h.lib = lib;
    const std::string name = "Exit Check " + std::to_string(getpid());
    NDIlib_send_create_t sendSettings;
    sendSettings.p_ndi_name = name.c_str();
    h.sender = api.send_create(&sendSettings);
    NDIlib_find_create_t findSettings;
    h.finder = api.find_create_v2(&findSettings);
    std::string address;
    for (int i = 0; i < 100 && address.empty(); ++i) {
        api.find_wait_for_sources(h.finder, 50);
        uint32_t count = 0;
        const NDIlib_source_t *list = api.find_get_current_sources(h.finder, &count);
        for (uint32_t s = 0; s < count; ++s)
            if (std::strstr(list[s].p_ndi_name, name.c_str()) && list[s].p_url_address)
                address = list[s].p_url_address;
    }
    NDIlib_recv_create_v3_t recvSettings;
    recvSettings.source_to_connect_to.p_url_address = address.c_str();
    h.receiver = api.recv_create_v3(&recvSettings);
    for (int i = 0; i < 100 && api.recv_get_no_connections(h.receiver) < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (address.empty() || api.recv_get_no_connections(h.receiver) < 1) {
        std::fprintf(stderr, "no connection to the own source (address \"%s\")\n", address.c_str());
        return 4;
    }
    std::fputs("running\n", stdout);
    std::fflush(stdout);
    if (late)
        destroyer->handles = h;
    return 0; // everything still runs while the exit handlers do their work
}

} // namespace

class TestNdiExit : public QObject
{
    Q_OBJECT

private slots:
    void exitsCleanly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("running at exit") << "running";
        QTest::newRow("destroyed after the runtime's exit handlers") << "late";
    }
    void exitsCleanly()
    {
        QFETCH(QString, mode);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(drtest::isolatedRuntimeEnv());
        env.insert(kModeEnv, mode);
        // Rounds: exit handlers race the runtime's threads at a different moment each time.
        for (int round = 0; round < 5; ++round) {
            QProcess child;
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForFinished(30000));
            const QString out = QString::fromLocal8Bit(child.readAll());
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(out));
            QVERIFY2(out.contains("running") && !out.contains("Sanitizer") &&
                         !out.contains("runtime error"),
                     qPrintable(out));
            if (mode == "late")
                QVERIFY2(out.contains("late destruction done"), qPrintable(out));
        }
    }
};

int main(int argc, char **argv)
{
    if (const char *mode = std::getenv(kModeEnv))
        return runChild(mode);
    QCoreApplication app(argc, argv);
    TestNdiExit test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ndi_exit.moc"
