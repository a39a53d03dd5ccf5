// The two tuning settings of the distance engines: which share of the trees a
// split must reach to get a dense column.  They trade speed against memory and
// never change a result.  Each is read from the environment once per process;
// an unset, non-UTF-8, unparsable, negative or non-finite value silently means
// the default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cladomatic {

inline constexpr double kRfDenseShareDefault = 0.03;
inline constexpr double kWeightedDenseShareDefault = 0.25;

// CLADOMATIC_RF_DENSE_SHARE, cached on first use.
double rf_dense_share();
// CLADOMATIC_WEIGHTED_DENSE_SHARE, cached on first use.
double weighted_dense_share();

// The value of a setting: `text` trimmed of Unicode white space must be a
// decimal number ([+-] digits [. digits] [e [+-] digits], digits on at least
// one side of the point) that is finite and not negative (-0 reads as 0).
// A number too small for a double reads as 0.
double parse_dense_share(std::string_view text, double fallback) noexcept;

// max(ceil(share * n), 2), the product in double and the ceiling saturated to
// 32 bits.
std::uint32_t dense_threshold(double share, std::size_t n) noexcept;

}  // namespace cladomatic
