#include "NdiTestEnv.h"

#include <QElapsedTimer>

#include <TestSupport.h>

#include <unistd.h>

namespace nditest {

namespace {
QTemporaryDir &tempDir()
{
    static QTemporaryDir dir;
    return dir;
}
} // namespace

const NdiLibrary *runtime(QString *error)
{
    static std::unique_ptr<NdiLibrary> loaded;
    static QString loadError;
    static bool tried = false;
    if (!tried) {
        tried = true;
        qputenv("DESK_RECORDER_NDI_REGISTRY", tempDir().path().toLocal8Bit());
        qputenv("DESK_RECORDER_NDI_DISCOVERY_PORT", QByteArray::number(drtest::freeTcpPort()));
        QString file = drtest::buildDir() + "/libdesk-recorder-ndi.so";
        std::string why;
        loaded = NdiLibrary::loadFile(file.toStdString(), &why);
        if (!loaded)
            loadError = QString::fromStdString(why);
    }
    if (error)
        *error = loadError;
    return loaded.get();
}

QString registryDir()
{
    return tempDir().path();
}

std::string uniqueName(const char *prefix)
{
    static int counter = 0;
    return std::string(prefix) + " " + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

NdiSender makeSender(const std::string &name, const char *groups)
{
    NDIlib_send_create_t s;
    s.p_ndi_name = name.c_str();
    s.p_groups = groups;
    s.clock_video = false;
    s.clock_audio = false;
    return makeNdiSender(lib(), &s);
}

bool waitConnected(NDIlib_recv_instance_t recv, int timeoutMs)
{
    return drtest::waitUntil([&] { return lib()->recv_get_no_connections(recv) >= 1; }, timeoutMs);
}

std::string waitForSource(const NdiLibrary &lib, NDIlib_find_instance_t finder,
                          const std::string &name, int timeoutMs)
{
    const std::string suffix = "(" + name + ")";
    QElapsedTimer t;
    t.start();
    for (;;) {
        uint32_t count = 0;
        const NDIlib_source_t *list = lib->find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count; ++i) {
            std::string full = list[i].p_ndi_name ? list[i].p_ndi_name : "";
            if (full.size() >= suffix.size() &&
                full.compare(full.size() - suffix.size(), suffix.size(), suffix) == 0)
                return list[i].p_url_address ? list[i].p_url_address : "";
        }
        if (t.elapsed() > timeoutMs)
            return {};
        lib->find_wait_for_sources(finder, 50);
    }
}

std::vector<uint8_t> uyvyFrame(int xres, int yres, uint8_t base)
{
    std::vector<uint8_t> f(size_t(xres) * size_t(yres) * 2);
    for (size_t i = 0; i < f.size(); i += 4) {
        f[i] = base;
        f[i + 1] = uint8_t(base + 1);
        f[i + 2] = uint8_t(base + 2);
        f[i + 3] = uint8_t(base + 3);
    }
    return f;
}

} // namespace nditest
