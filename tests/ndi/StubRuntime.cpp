// A fake runtime for the loader tests: every function of the list exists (returning zero
// values) and NDIlib_version() answers DR_STUB_VERSION. With DR_STUB_FIND_ONLY only the
// library and finder functions exist, so the loader must name the first missing one.
#include "ndi/NdiApi.h"

#include <cstring>
#include <type_traits>

namespace {
template <typename T> T stubResult(const char *name)
{
    if constexpr (std::is_same_v<T, void>) {
        (void)name;
        return;
    } else if constexpr (std::is_same_v<T, const char *>) {
        return std::strcmp(name, "version") == 0 ? DR_STUB_VERSION : nullptr;
    } else if constexpr (std::is_same_v<T, bool>) {
        return std::strcmp(name, "initialize") == 0 || std::strcmp(name, "is_supported_CPU") == 0;
    } else {
        return T{};
    }
}
} // namespace

#define DR_STUB(ret, name, params)                                                                 \
    extern "C" __attribute__((visibility("default"))) ret NDIlib_##name params                     \
    {                                                                                              \
        return stubResult<ret>(#name);                                                             \
    }

#ifdef DR_STUB_FIND_ONLY
DR_STUB(bool, initialize, (void))
DR_STUB(void, destroy, (void))
DR_STUB(const char *, version, (void))
DR_STUB(bool, is_supported_CPU, (void))
DR_STUB(NDIlib_find_instance_t, find_create_v2, (const NDIlib_find_create_t *))
DR_STUB(void, find_destroy, (NDIlib_find_instance_t))
DR_STUB(bool, find_wait_for_sources, (NDIlib_find_instance_t, uint32_t))
DR_STUB(const NDIlib_source_t *, find_get_current_sources, (NDIlib_find_instance_t, uint32_t *))
#else
DR_NDI_FUNCTIONS(DR_STUB)
#endif
