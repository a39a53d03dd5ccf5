// The distance input of the plain entry points: the set taken apart.  No
// Python here.
#pragma once

#include "distances/layout.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {

// Moves the trees and tree counts into the input and releases the rest of the
// set (leaf names, clade rows) before the pairwise stage starts.
Input owning_input(Snapshots&& set);

}  // namespace cladomatic
