#include "snapshot/serialise.hpp"

#include <gtest/gtest.h>

#include <random>

#include "distance_sets.hpp"

namespace cladomatic {
namespace {

// A set as the engine keeps it: pendant ids fixed, one clade row per id.
SavedSet saved_set() {
  constexpr std::uint32_t kLeaves = 6;
  SavedSet saved{
      testing::random_set(
          {.trees = 9, .pendants = kLeaves, .splits = 12, .per_tree = 4, .lengths = true, .dyadic = false},
          5),
      false, true};
  for (std::uint32_t i = 0; i < kLeaves; ++i) saved.set.leaf_names.push_back(std::string(1, char('a' + i)));
  saved.set.clades = CladeTable::singletons(kLeaves);
  for (std::uint32_t s = 0; s < 12; ++s) {
    const std::vector<LeafId> row{s % 5, 5};
    saved.set.clades.push(row);
  }
  saved.set.row_words = 1;
  return saved;
}

TEST(Serialise, RoundTripKeepsTheSet) {
  const SavedSet saved = saved_set();
  Result<SavedSet> back = deserialise(serialise(saved));
  ASSERT_TRUE(back) << back.error();
  const Snapshots& a = saved.set;
  const Snapshots& b = back.value().set;
  EXPECT_EQ(a.leaf_names, b.leaf_names);
  EXPECT_EQ(a.freq, b.freq);
  EXPECT_EQ(a.clades.leaves, b.clades.leaves);
  EXPECT_EQ(a.clades.offsets, b.clades.offsets);
  ASSERT_EQ(a.snaps.size(), b.snaps.size());
  for (std::size_t t = 0; t < a.snaps.size(); ++t) {
    EXPECT_EQ(a.snaps[t].ids, b.snaps[t].ids);
    EXPECT_EQ(a.snaps[t].lengths, b.snaps[t].lengths);
    EXPECT_EQ(a.snaps[t].n_pendant, b.snaps[t].n_pendant);
  }
  EXPECT_TRUE(back.value().lengths);
  EXPECT_FALSE(back.value().rooted);
}

TEST(Serialise, EveryTruncationAndStrayByteIsRefusedOrHarmless) {
  const std::vector<std::byte> bytes = serialise(saved_set());
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(deserialise(std::span(bytes).first(size))) << "prefix of " << size;
  }
  std::mt19937_64 rng(9);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::byte> damaged = bytes;
    damaged[rng() % damaged.size()] ^= std::byte(1u << (rng() % 8));
    Result<SavedSet> loaded = deserialise(damaged);
    if (!loaded) continue;
    // Whatever loads keeps the invariants the kernels rely on.
    const Snapshots& set = loaded.value().set;
    for (const InternSnap& snap : set.snaps) {
      for (SplitId s : snap.ids) ASSERT_LT(s, set.freq.size());
      for (std::uint32_t f : set.freq) ASSERT_LE(f, set.snaps.size());
    }
  }
}

}  // namespace
}  // namespace cladomatic
