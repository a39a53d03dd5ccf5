// Branch-length distances over all splits, pendant edges included:
// weighted Robinson-Foulds (sum of |a - b|) and the Kuhner-Felsenstein branch
// score (sqrt of the sum of (a - b)^2).  Every floating-point sum has a fixed
// order, so results are identical bit for bit whatever the thread count.
// Infinite and NaN lengths give what the sums give in IEEE arithmetic: inf
// against any tree, NaN where a NaN length or inf - inf (both trees infinite
// of the same sign on one split) enters; the diagonal stays 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../primitives/cpu.hpp"
#include "layout.hpp"
#include "matrix.hpp"

namespace cladomatic {

// Fill `out` (exactly 8 * n * n bytes, any alignment) with the n x n matrix
// of little-endian float64, row-major, or with Fill::upper its diagonal and
// upper triangle only.  `progress`, when given, grows by n(n-1)/2.  Splits in
// at least max(ceil(share * n), 2) trees (share from
// CLADOMATIC_WEIGHTED_DENSE_SHARE, read on the first call) are dense.
void distance_wrf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out,
                  Fill fill = Fill::whole);
void distance_kf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out,
                 Fill fill = Fill::whole);

// The same with the dense threshold given (2 or less: every split in two or
// more trees is dense; above n: none is).  With non-negative lengths whose
// sums are exact, any threshold gives the same bits; otherwise only the
// rounding differs, and for pairs with an infinite or NaN length not at all.
void distance_wrf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                        std::atomic<std::uint64_t>* progress, std::span<std::byte> out);
void distance_kf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                       std::atomic<std::uint64_t>* progress, std::span<std::byte> out);

}  // namespace cladomatic
