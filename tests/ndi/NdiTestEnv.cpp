#include "NdiTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <TestSupport.h>

#include <unistd.h>

namespace nditest {

namespace {
QTemporaryDir &tempDir()
{
    static QTemporaryDir dir;
    return dir;
}
quint16 g_port = 0;
} // namespace

const NdiLibrary *runtime(QString *error)
{
    static std::unique_ptr<NdiLibrary> lib;
    static QString loadError;
    static bool tried = false;
    if (!tried) {
        tried = true;
        g_port = drtest::freeTcpPort();
        qputenv("DESK_RECORDER_NDI_REGISTRY", tempDir().path().toLocal8Bit());
        qputenv("DESK_RECORDER_NDI_DISCOVERY_PORT", QByteArray::number(g_port));
        QString file = drtest::buildDir() + "/libdesk-recorder-ndi.so";
        std::string why;
        lib = NdiLibrary::loadFile(file.toStdString(), &why);
        if (!lib)
            loadError = QString::fromStdString(why);
    }
    if (error)
        *error = loadError;
    return lib.get();
}

quint16 discoveryPort()
{
    return g_port;
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

static bool listed(const NdiLibrary &lib, NDIlib_find_instance_t finder, const std::string &name,
                   std::string *address)
{
    uint32_t count = 0;
    const NDIlib_source_t *list = lib->find_get_current_sources(finder, &count);
    std::string suffix = "(" + name + ")";
    for (uint32_t i = 0; i < count; ++i) {
        std::string full = list[i].p_ndi_name ? list[i].p_ndi_name : "";
        if (full.size() >= suffix.size() &&
            full.compare(full.size() - suffix.size(), suffix.size(), suffix) == 0) {
            if (address)
                *address = list[i].p_url_address ? list[i].p_url_address : "";
            return true;
        }
    }
    return false;
}

std::string waitForSource(const NdiLibrary &lib, NDIlib_find_instance_t finder,
                          const std::string &name, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    std::string address;
    while (!listed(lib, finder, name, &address)) {
        if (t.elapsed() > timeoutMs)
            return {};
        lib->find_wait_for_sources(finder, 50);
    }
    return address;
}

bool waitForVanish(const NdiLibrary &lib, NDIlib_find_instance_t finder, const std::string &name,
                   int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (listed(lib, finder, name, nullptr)) {
        if (t.elapsed() > timeoutMs)
            return false;
        lib->find_wait_for_sources(finder, 50);
    }
    return true;
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
