// Internal consistency checks of the mixing engine. A failed check is a programming error:
// it writes the FatalLog report to standard error and aborts the process. Checks are
// always compiled in. Operands are evaluated once. An optional last argument adds a
// message (const char *) to the report.
#pragma once

#include "audio/mixengine/FatalLog.h"

#include <type_traits>
#include <utility>

namespace dr::audiomix::check_detail {

template <typename T>
concept PlainInteger =
    std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
    !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> && !std::is_same_v<T, char32_t> &&
    !std::is_same_v<T, wchar_t>;

// Comparisons that are exact across signed and unsigned integers.
template <typename A, typename B> constexpr bool Eq(const A &a, const B &b)
{
    if constexpr (PlainInteger<A> && PlainInteger<B>)
        return std::cmp_equal(a, b);
    else
        return a == b;
}
template <typename A, typename B> constexpr bool Lt(const A &a, const B &b)
{
    if constexpr (PlainInteger<A> && PlainInteger<B>)
        return std::cmp_less(a, b);
    else
        return a < b;
}
template <typename A, typename B> constexpr bool Ne(const A &a, const B &b)
{
    return !Eq(a, b);
}
template <typename A, typename B> constexpr bool Le(const A &a, const B &b)
{
    return !Lt(b, a);
}
template <typename A, typename B> constexpr bool Gt(const A &a, const B &b)
{
    return Lt(b, a);
}
template <typename A, typename B> constexpr bool Ge(const A &a, const B &b)
{
    return !Lt(a, b);
}

} // namespace dr::audiomix::check_detail

#define AUDIOMIX_CHECK(condition, ...)                                                             \
    do {                                                                                           \
        if (!(condition)) [[unlikely]]                                                             \
            ::dr::audiomix::FatalLog::Fail(__FILE__, __LINE__,                                     \
                                           #condition __VA_OPT__(, ) __VA_ARGS__);                 \
    } while (0)

#define AUDIOMIX_CHECK_OP(test, op, a, b, ...)                                                     \
    do {                                                                                           \
        const auto &audiomixCheckA = (a);                                                          \
        const auto &audiomixCheckB = (b);                                                          \
        if (!::dr::audiomix::check_detail::test(audiomixCheckA, audiomixCheckB)) [[unlikely]]      \
            ::dr::audiomix::FatalLog::FailComparison(                                              \
                __FILE__, __LINE__, #a " " #op " " #b,                                             \
                ::dr::audiomix::CheckArg::From(audiomixCheckA),                                    \
                ::dr::audiomix::CheckArg::From(audiomixCheckB) __VA_OPT__(, ) __VA_ARGS__);        \
    } while (0)

#define AUDIOMIX_CHECK_EQ(a, b, ...) AUDIOMIX_CHECK_OP(Eq, ==, a, b __VA_OPT__(, ) __VA_ARGS__)
#define AUDIOMIX_CHECK_NE(a, b, ...) AUDIOMIX_CHECK_OP(Ne, !=, a, b __VA_OPT__(, ) __VA_ARGS__)
#define AUDIOMIX_CHECK_LT(a, b, ...) AUDIOMIX_CHECK_OP(Lt, <, a, b __VA_OPT__(, ) __VA_ARGS__)
#define AUDIOMIX_CHECK_LE(a, b, ...) AUDIOMIX_CHECK_OP(Le, <=, a, b __VA_OPT__(, ) __VA_ARGS__)
#define AUDIOMIX_CHECK_GT(a, b, ...) AUDIOMIX_CHECK_OP(Gt, >, a, b __VA_OPT__(, ) __VA_ARGS__)
#define AUDIOMIX_CHECK_GE(a, b, ...) AUDIOMIX_CHECK_OP(Ge, >=, a, b __VA_OPT__(, ) __VA_ARGS__)

// Unconditional stop, for states that have no operands to show (e.g. a NaN that was to
// become an integer).
#define AUDIOMIX_FATAL(...)                                                                        \
    ::dr::audiomix::FatalLog::Fail(__FILE__, __LINE__, "FATAL()" __VA_OPT__(, ) __VA_ARGS__)
