#include "ndi/NdiLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <mutex>

namespace {

std::string envValue(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// Folder of the running executable, without a trailing slash; empty when unknown.
std::string executableDir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, size_t(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string parentDir(const std::string &dir)
{
    auto slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return {};
    return dir.substr(0, slash);
}

std::mutex g_instanceMutex;
const NdiLibrary *g_instance = nullptr; // leaked on purpose: never unloaded
bool g_instanceTried = false;
std::string g_instanceError;

} // namespace

NdiLibrary::~NdiLibrary()
{
    if (m_api.destroy)
        m_api.destroy();
    if (m_handle)
        dlclose(m_handle);
}

int NdiLibrary::parseMajorVersion(const std::string &text)
{
    int found = -1;
    for (size_t i = 0; i < text.size();) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        // A version group is a number followed by '.' and another number.
        if (i + 1 < text.size() && text[i] == '.' &&
            std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            std::string major = text.substr(start, i - start);
            found = major.size() > 6 ? -1 : std::atoi(major.c_str());
            while (i < text.size() &&
                   (text[i] == '.' || std::isdigit(static_cast<unsigned char>(text[i]))))
                ++i;
        }
    }
    return found;
}

std::vector<std::string> NdiLibrary::candidates()
{
    std::vector<std::string> list;
    std::string explicitFile = envValue(kLibraryEnv);
    if (!explicitFile.empty()) {
        list.push_back(explicitFile);
        return list;
    }
    std::string dir6 = envValue("NDI_RUNTIME_DIR_V6");
    if (!dir6.empty())
        list.push_back(dir6 + "/libndi.so.6");
    std::string dir5 = envValue("NDI_RUNTIME_DIR_V5");
    if (!dir5.empty())
        list.push_back(dir5 + "/libndi.so.5");
    list.push_back("libndi.so.6");
    list.push_back("libndi.so.5");
    std::string exeDir = executableDir();
    if (!exeDir.empty()) {
        list.push_back(exeDir + "/" + kOwnRuntimeName);
        std::string up = parentDir(exeDir);
        if (!up.empty())
            list.push_back(up + "/" + kOwnRuntimeName);
    }
    return list;
}

std::unique_ptr<NdiLibrary> NdiLibrary::loadFile(const std::string &file, std::string *error)
{
    auto fail = [&](const std::string &why) -> std::unique_ptr<NdiLibrary> {
        if (error)
            *error = file + ": " + why;
        return nullptr;
    };
    // RTLD_NODELETE: dlclose never unmaps the code, so a stray runtime thread cannot crash.
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char *why = dlerror();
        return fail(why ? why : "cannot be loaded");
    }
    std::unique_ptr<NdiLibrary> lib(new NdiLibrary);
    lib->m_handle = handle;
    lib->m_path = file;

    std::string missing;
#define DR_NDI_RESOLVE(ret, name, params)                                                          \
    lib->m_api.name = reinterpret_cast<ret(*) params>(dlsym(handle, "NDIlib_" #name));             \
    if (!lib->m_api.name && missing.empty())                                                       \
        missing = "NDIlib_" #name;
    DR_NDI_FUNCTIONS(DR_NDI_RESOLVE)
#undef DR_NDI_RESOLVE
    if (!missing.empty()) {
        lib->m_api = NdiFunctions{}; // do not call destroy on a runtime we never initialised
        return fail("the runtime lacks the function " + missing);
    }

    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(lib->m_api.version), &info) && info.dli_fname)
        lib->m_path = info.dli_fname;

    const char *version = lib->m_api.version();
    lib->m_version = version ? version : "";
    lib->m_major = parseMajorVersion(lib->m_version);
    if (lib->m_major < kMinimumMajorVersion) {
        lib->m_api = NdiFunctions{};
        return fail("version \"" + lib->m_version + "\" is older than " +
                    std::to_string(kMinimumMajorVersion) + " or cannot be read; refused");
    }
    if (!lib->m_api.initialize()) {
        lib->m_api = NdiFunctions{};
        return fail("the runtime does not support this CPU");
    }
    return lib;
}

std::unique_ptr<NdiLibrary> NdiLibrary::load(std::string *error)
{
    std::string reasons;
    for (const std::string &file : candidates()) {
        std::string why;
        auto lib = loadFile(file, &why);
        if (lib)
            return lib;
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    if (error)
        *error = "no usable NDI runtime found (" + reasons + ")";
    return nullptr;
}

const NdiLibrary *NdiLibrary::instance()
{
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (!g_instanceTried) {
        g_instanceTried = true;
        g_instance = load(&g_instanceError).release();
    }
    return g_instance;
}

std::string NdiLibrary::instanceError()
{
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    return g_instanceError;
}

bool NdiLibrary::isOwnRuntime() const
{
    auto slash = m_path.rfind('/');
    std::string base = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
    return base == kOwnRuntimeName;
}

std::string NdiLibrary::describe() const
{
    return "NDI runtime " + m_path + " version " + m_version;
}

NdiFinder makeNdiFinder(const NdiLibrary &lib, const NDIlib_find_create_t *settings)
{
    return NdiFinder(lib->find_create_v2(settings), lib->find_destroy);
}

NdiReceiver makeNdiReceiver(const NdiLibrary &lib, const NDIlib_recv_create_v3_t *settings)
{
    return NdiReceiver(lib->recv_create_v3(settings), lib->recv_destroy);
}

NdiFrameSync makeNdiFrameSync(const NdiLibrary &lib, NDIlib_recv_instance_t receiver)
{
    return NdiFrameSync(lib->framesync_create(receiver), lib->framesync_destroy);
}

NdiSender makeNdiSender(const NdiLibrary &lib, const NDIlib_send_create_t *settings)
{
    return NdiSender(lib->send_create(settings), lib->send_destroy);
}
