// The maximum clade credibility tree: the sampled tree whose non-trivial
// splits have the largest product of frequencies.
#pragma once

#include <cstdint>
#include <span>

#include "../primitives/row_progress.hpp"
#include "../snapshot/intern.hpp"

namespace cladomatic {

// The index of the tree with the largest sum of log(count / trees) over its
// non-trivial splits, the first in input order of equal ones.  Each tree's
// terms are added in increasing order of count, so trees whose splits have
// the same counts (the same topology above all) tie exactly, whatever the
// order in which their texts list the splits.  Throws InvariantFailure for
// an empty set.  Each tree scored is counted into `trees_done`; once the task
// group is cancelled the trees left are not scored and the index is garbage
// (row_progress.hpp).
std::uint32_t mcc_tree(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                       RowCounter* trees_done = nullptr);

}  // namespace cladomatic
