// Numeric conversions that are checked against the destination's range. A value out of
// range in CheckedCast, or a NaN in SaturatedCast, is a programming error that stops the
// process with the FatalLog report. Stateless; callable from any thread.
#pragma once

#include "audio/mixengine/Checks.h"

#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

namespace dr::audiomix {

// True when `value` can be represented by Dst (for a floating-point source: not NaN and
// within Dst's range after truncation toward zero).
template <typename Dst, typename Src> constexpr bool IsValueInRangeFor(Src value)
{
    static_assert(std::is_arithmetic_v<Dst> && std::is_arithmetic_v<Src>);
    if constexpr (std::is_integral_v<Dst> && std::is_integral_v<Src>) {
        return std::in_range<Dst>(value);
    } else if constexpr (std::is_integral_v<Dst>) {
        // Bounds as long double are exact for every integer type up to 64 bits; the upper
        // bound is exclusive (max + 1 is a power of two).
        using Limits = std::numeric_limits<Dst>;
        const long double v = value;
        return !std::isnan(v) && std::trunc(v) >= static_cast<long double>(Limits::lowest()) &&
               std::trunc(v) < static_cast<long double>(Limits::max()) + 1.0L;
    } else if constexpr (std::is_floating_point_v<Src>) {
        using Limits = std::numeric_limits<Dst>;
        const long double v = value;
        return std::isnan(v) || std::isinf(v) ||
               (v >= static_cast<long double>(Limits::lowest()) &&
                v <= static_cast<long double>(Limits::max()));
    } else {
        return true; // any integer fits a floating-point type's range
    }
}

template <typename Dst, typename Src> Dst CheckedCast(Src value)
{
    AUDIOMIX_CHECK(IsValueInRangeFor<Dst>(value));
    return static_cast<Dst>(value);
}

// Clamps to Dst's range; a NaN is a programming error.
template <typename Dst, typename Src> Dst SaturatedCast(Src value)
{
    if constexpr (std::is_floating_point_v<Src>) {
        if (std::isnan(value)) [[unlikely]]
            AUDIOMIX_FATAL();
    }
    if (IsValueInRangeFor<Dst>(value))
        return static_cast<Dst>(value);
    if constexpr (std::is_integral_v<Src> && std::is_integral_v<Dst>)
        return std::cmp_less(value, 0) ? std::numeric_limits<Dst>::lowest()
                                       : std::numeric_limits<Dst>::max();
    else
        return value < 0 ? std::numeric_limits<Dst>::lowest() : std::numeric_limits<Dst>::max();
}

} // namespace dr::audiomix
