// Robinson-Foulds distances: RF(i, j) = s_i + s_j - 2 shared(i, j), where
// s_i counts tree i's splits that are not in every tree and shared counts
// splits held by both with tree count 2..n-1.  Not halved.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "layout.hpp"

namespace cladomatic {

// Fills `out` (exactly 4 * n * n bytes, any alignment) with the n x n matrix of
// little-endian u32, row-major.  `progress`, when given, grows by n(n-1)/2.
void distance_rf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out);

std::vector<std::uint32_t> distance_rf(Input&& input, std::atomic<std::uint64_t>* progress);

}  // namespace cladomatic
