#include "snapshot/serialise.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/snapshots.hpp"
#include "text_source.hpp"

namespace cladomatic {
namespace {

using testing::Texts;

// A set as the engine builds it: pendant ids fixed, one clade row per id.
SavedSet saved_set(bool rooted = false) {
  Texts source({"((a:1,b:2):1,c:1,(d:1,(e:1,f:2):3):1);", "((a:1,c:2):1,b:1,(d:1,(e:1,f:2):3):1);",
                "((a:0.5,b:2):1,(c:1,d:4):2,(e:1,f:2):3);", "(((a:1,f:2):1,c:1):2,(d:1,(e:1,b:2):3):1);"});
  Result<Snapshots> built =
      from_newick_iter_opts(source, {.rooted = rooted, .weighted = true, .keep_clades = true});
  EXPECT_TRUE(built) << built.error();
  return SavedSet{std::move(built).value(), rooted, true};
}

std::vector<std::vector<LeafId>> rows_of(const CladeTable& table) {
  std::vector<std::vector<LeafId>> rows;
  for (std::size_t r = 0; r < table.rows(); ++r) rows.emplace_back(table.row(r).begin(), table.row(r).end());
  return rows;
}

TEST(Serialise, RoundTripKeepsTheSet) {
  for (const bool rooted : {false, true}) {
    const SavedSet saved = saved_set(rooted);
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
    EXPECT_EQ(back.value().rooted, rooted);
  }
}

// States whose bytes are well formed but whose set breaks what the kernels
// assume; each would load as a set that gives other distances.
TEST(Serialise, StatesThatBreakAnInvariantAreRefused) {
  using Rows = std::vector<std::vector<LeafId>>;
  const std::vector<std::pair<const char*, std::function<void(Snapshots&, Rows&)>>> cases = {
      {"bad clade row",  // one clade under two ids
       [](Snapshots& set, Rows& rows) {
         rows.push_back(rows[set.snaps[0].ids[0]]);
         set.snaps[1].ids.push_back(static_cast<SplitId>(rows.size() - 1));
         set.snaps[1].lengths.push_back(1.0);
       }},
      {"bad clade row", [](Snapshots&, Rows& rows) { rows[2] = {2, 3}; }},  // a leaf row of two leaves
      {"bad clade row",
       [](Snapshots& set, Rows& rows) { rows[set.snaps[0].ids[0]] = {0, 1}; }},  // the side with leaf 0
      {"bad clade row",
       [](Snapshots& set, Rows& rows) { rows[set.snaps[0].ids[0]] = {5}; }},  // a pendant split
      {"a split no tree holds", [](Snapshots&, Rows& rows) { rows.push_back({1, 3}); }},
      {"too many splits",  // tree 3 shares no split with tree 0
       [](Snapshots& set, Rows&) {
         for (SplitId s : set.snaps[3].ids) set.snaps[0].ids.push_back(s);
         set.snaps[0].lengths.resize(set.snaps[0].lengths.size() + set.snaps[3].ids.size());
       }},
      {"bad split id", [](Snapshots& set, Rows&) { set.snaps[0].ids[1] = set.snaps[0].ids[0]; }},
      {"not UTF-8", [](Snapshots& set, Rows&) { set.leaf_names[5] = "f\xff"; }},
      {"inconsistent counts", [](Snapshots& set, Rows&) { set.row_words = 2; }},
  };
  for (const auto& [message, damage] : cases) {
    SavedSet saved = saved_set();
    Rows rows = rows_of(saved.set.clades);
    damage(saved.set, rows);
    saved.set.clades = CladeTable{};
    for (const std::vector<LeafId>& row : rows) saved.set.clades.push(row);
    Result<SavedSet> loaded = deserialise(serialise(saved));
    ASSERT_FALSE(loaded) << message;
    EXPECT_NE(loaded.error().find(message), std::string::npos) << loaded.error();
  }
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
