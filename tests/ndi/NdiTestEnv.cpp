#include "NdiTestEnv.h"

#include <TestSupport.h>

#include <unistd.h>

namespace nditest {

const NdiLibrary *runtime(QString *error)
{
    static QTemporaryDir registry;
    static std::unique_ptr<NdiLibrary> loaded;
    static QString loadError;
    static bool tried = false;
    if (!tried) {
        tried = true;
        qputenv("DESK_RECORDER_NDI_REGISTRY", registry.path().toLocal8Bit());
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
    const QString suffix = QString::fromStdString("(" + name + ")");
    std::string address;
    drtest::waitUntil(
        [&] {
            uint32_t count = 0;
            const NDIlib_source_t *list = lib->find_get_current_sources(finder, &count);
            for (uint32_t i = 0; i < count && address.empty(); ++i) {
                if (QString(list[i].p_ndi_name).endsWith(suffix) && list[i].p_url_address)
                    address = list[i].p_url_address;
            }
            if (address.empty())
                lib->find_wait_for_sources(finder, 50);
            return !address.empty();
        },
        timeoutMs);
    return address;
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
