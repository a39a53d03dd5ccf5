// An interned tree set as one flat byte string and back, for other processes:
// the arrays as they are in memory (little-endian), tree counts left out since
// they follow from the trees.  Reading checks every count, offset and id, so
// damaged or hostile bytes give an error, never a set that breaks a kernel.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "result.hpp"
#include "snapshots.hpp"

namespace cladomatic {

// A set as the tree-set engine keeps it: pendant ids fixed (every tree's
// n_pendant is the leaf count) and one clade row per split id.
struct SavedSet {
  Snapshots set;
  bool rooted = false;
  bool lengths = false;
};

std::vector<std::byte> serialise(const SavedSet& saved);
Result<SavedSet> deserialise(std::span<const std::byte> bytes);

}  // namespace cladomatic
