// What the entry points make of a collected tree set once the pairwise stage
// has it: a distance input that takes the set apart, and the exports that
// consume what is left.  No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "distances/layout.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {

// Moves the trees and tree counts into the input and releases the rest of the
// set (leaf names, clade rows) before the pairwise stage starts.
Input owning_input(Snapshots&& set);

// The exports of a set built with clade rows, in one column order.
struct SetExports {
  std::vector<std::string> leaf_names;
  std::size_t n_bip = 0;
  std::vector<std::uint8_t> matrix;  // presence bytes or branch-length bytes
  std::vector<std::uint8_t> bipartition_clade_bytes;
};

// Both release the set before returning, so that it is gone before the
// buffers are copied into Python objects.
SetExports presence_exports(Snapshots&& set);
SetExports branch_length_exports(Snapshots&& set);  // set built with branch lengths too

}  // namespace cladomatic
