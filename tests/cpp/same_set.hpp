// Two interned tree sets hold the same ids, lengths, tree counts, clade rows
// and leaf names: what determinism across threads and chunking means.
#pragma once

#include <gtest/gtest.h>

#include "snapshot/snapshots.hpp"

namespace cladomatic::testing {

inline void expect_same_set(const Snapshots& got, const Snapshots& expected) {
  ASSERT_EQ(got.snaps.size(), expected.snaps.size());
  for (std::size_t t = 0; t < expected.snaps.size(); ++t) {
    EXPECT_EQ(got.snaps[t].ids, expected.snaps[t].ids);
    EXPECT_EQ(got.snaps[t].lengths, expected.snaps[t].lengths);
  }
  EXPECT_EQ(got.freq, expected.freq);
  EXPECT_EQ(got.clades.leaves, expected.clades.leaves);
  EXPECT_EQ(got.clades.offsets, expected.clades.offsets);
  EXPECT_EQ(got.leaf_names, expected.leaf_names);
}

}  // namespace cladomatic::testing
