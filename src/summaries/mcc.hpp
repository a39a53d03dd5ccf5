// The maximum clade credibility tree: the sampled tree whose non-trivial
// splits have the largest product of frequencies.
#pragma once

#include <cstdint>
#include <span>

#include "../snapshot/intern.hpp"

namespace cladomatic {

// The index of the tree with the largest sum of log(count / trees) over its
// non-trivial splits, the first in input order of equal ones.  Each tree's
// terms are added in increasing order of count, so trees whose splits have
// the same counts (the same topology above all) tie exactly, whatever the
// order in which their texts list the splits.  Throws InvariantFailure for
// an empty set.
std::uint32_t mcc_tree(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq);

}  // namespace cladomatic
