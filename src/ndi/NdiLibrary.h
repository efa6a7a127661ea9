// NdiLibrary: finds an NDI runtime, loads it with dlopen and resolves every function of
// DR_NDI_FUNCTIONS into a function table.
//
// Search order (the first that loads, has a version 5 or newer and every function wins):
//   1. the file named by DESK_RECORDER_NDI_LIB (when set, the only candidate);
//   2. $NDI_RUNTIME_DIR_V6/libndi.so.6, then $NDI_RUNTIME_DIR_V5/libndi.so.5;
//   3. libndi.so.6, then libndi.so.5 on the dynamic loader's path;
//   4. our own runtime libdesk-recorder-ndi.so beside the executable, then in the folder
//      above it (tests and benchmarks live one level below the build folder).
// A runtime whose version is older than 5 (different enum widths and layouts) is refused.
//
// Threads: a loaded NdiLibrary is immutable; api() may be used from any thread. load() and
// instance() are thread-safe. The library calls NDIlib_initialize after loading and
// NDIlib_destroy before dlclose.
#pragma once

#include "ndi/NdiApi.h"

#include <memory>
#include <string>
#include <vector>

// One pointer per runtime function, named without the "NDIlib_" prefix: api.recv_capture_v2(...).
struct NdiFunctions
{
#define DR_NDI_TABLE_ENTRY(ret, name, params) ret(*name) params = nullptr;
    DR_NDI_FUNCTIONS(DR_NDI_TABLE_ENTRY)
#undef DR_NDI_TABLE_ENTRY
};

class NdiLibrary
{
public:
    // Environment variable naming a runtime file to use instead of searching.
    static constexpr const char *kLibraryEnv = "DESK_RECORDER_NDI_LIB";
    // File name of our own runtime.
    static constexpr const char *kOwnRuntimeName = "libdesk-recorder-ndi.so";
    static constexpr int kMinimumMajorVersion = 5;

    ~NdiLibrary();
    NdiLibrary(const NdiLibrary &) = delete;
    NdiLibrary &operator=(const NdiLibrary &) = delete;

    // Searches in the order above. On failure returns null and, when `error` is given, a
    // message naming every candidate tried and why it was refused.
    static std::unique_ptr<NdiLibrary> load(std::string *error = nullptr);
    // Loads exactly this file (a path, or a bare name for the loader's search path).
    static std::unique_ptr<NdiLibrary> loadFile(const std::string &file,
                                                std::string *error = nullptr);
    // The candidate files in search order for the current environment.
    static std::vector<std::string> candidates();

    // Process-wide runtime, loaded on first call and kept until the process ends (never
    // unloaded, so no thread can outlive its code). Null when no runtime could be loaded;
    // instanceError() then says why.
    static const NdiLibrary *instance();
    static std::string instanceError();

    const NdiFunctions &api() const { return m_api; }
    const NdiFunctions *operator->() const { return &m_api; }
    // The file that was loaded as the loader resolved it (absolute when known).
    const std::string &path() const { return m_path; }
    // What NDIlib_version() returned, and the major version parsed from it.
    const std::string &version() const { return m_version; }
    int majorVersion() const { return m_major; }
    // True when the loaded file is our own runtime rather than an installed one.
    bool isOwnRuntime() const;
    // One line for logs: "NDI runtime <path> version <version>".
    std::string describe() const;

    // Parses the major version from a version text: the first number of the last
    // "N.N[.N...]" group. Returns -1 when there is none.
    static int parseMajorVersion(const std::string &versionText);

private:
    NdiLibrary() = default;

    void *m_handle = nullptr;
    NdiFunctions m_api;
    std::string m_path;
    std::string m_version;
    int m_major = -1;
};

// Move-only owner of one runtime handle (finder, receiver, frame synchroniser, sender): calls
// the matching destroy function when it goes. The NdiLibrary must outlive it.
template <typename Handle> class NdiHandle
{
public:
    using Destroy = void (*)(Handle);
    NdiHandle() = default;
    NdiHandle(Handle handle, Destroy destroy) : m_handle(handle), m_destroy(destroy) {}
    ~NdiHandle() { reset(); }
    NdiHandle(NdiHandle &&other) noexcept : m_handle(other.m_handle), m_destroy(other.m_destroy)
    {
        other.m_handle = nullptr;
    }
    NdiHandle &operator=(NdiHandle &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = other.m_handle;
            m_destroy = other.m_destroy;
            other.m_handle = nullptr;
        }
        return *this;
    }
    NdiHandle(const NdiHandle &) = delete;
    NdiHandle &operator=(const NdiHandle &) = delete;

    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    Handle release()
    {
        Handle h = m_handle;
        m_handle = nullptr;
        return h;
    }
    void reset()
    {
        if (m_handle && m_destroy)
            m_destroy(m_handle);
        m_handle = nullptr;
    }

private:
    Handle m_handle = nullptr;
    Destroy m_destroy = nullptr;
};

using NdiFinder = NdiHandle<NDIlib_find_instance_t>;
using NdiReceiver = NdiHandle<NDIlib_recv_instance_t>;
using NdiFrameSync = NdiHandle<NDIlib_framesync_instance_t>;
using NdiSender = NdiHandle<NDIlib_send_instance_t>;

// Creation helpers: an empty handle when the runtime refuses.
NdiFinder makeNdiFinder(const NdiLibrary &lib, const NDIlib_find_create_t *settings);
NdiReceiver makeNdiReceiver(const NdiLibrary &lib, const NDIlib_recv_create_v3_t *settings);
NdiFrameSync makeNdiFrameSync(const NdiLibrary &lib, NDIlib_recv_instance_t receiver);
NdiSender makeNdiSender(const NdiLibrary &lib, const NDIlib_send_create_t *settings);
