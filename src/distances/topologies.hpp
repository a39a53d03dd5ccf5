// Trees grouped by topology.  A distance that depends only on which splits two
// trees hold (RF) is the same for every member of a group, so a posterior that
// repeats topologies needs the distinct ones compared once; the full matrix is
// then copied out of the small one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"

namespace cladomatic {

// Groups are numbered in order of their first tree; two trees share a group
// exactly when their split id lists are permutations of each other (and they
// hold the same pendant ids).
struct Topologies {
  std::vector<std::uint32_t> group_of;  // per tree
  std::vector<std::uint32_t> first;     // per group, its first tree (ascending)
};

Topologies distinct_topologies(std::span<const InternSnap> snaps);

// Fills `out` (n x n little-endian u32, any alignment) with cell (i, j) =
// cell (group_of[i], group_of[j]) of `groups_matrix` (m x m, m = number of
// groups).  `progress`, when given, grows by exactly `pairs_left` in all,
// spread over the rows in proportion to their upper-triangle pairs.
void expand_topologies(std::span<const std::uint32_t> groups_matrix, const Topologies& topologies,
                       std::atomic<std::uint64_t>* progress, std::uint64_t pairs_left,
                       std::span<std::byte> out);

}  // namespace cladomatic
