#include "snapshot/serialise.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "snapshot/snapshots.hpp"

namespace cladomatic {
namespace {

class Texts final : public TreeSource {
 public:
  explicit Texts(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::optional<SourceTree> next() override {
    if (at_ == texts_.size()) return std::nullopt;
    return SourceTree{texts_[at_++]};
  }

 private:
  std::vector<std::string> texts_;
  std::size_t at_ = 0;
};

// A set as the engine builds it: pendant ids fixed, one clade row per id.
SavedSet saved_set(bool rooted = false) {
  Texts source({"((a:1,b:2):1,c:1,(d:1,(e:1,f:2):3):1);", "((a:1,c:2):1,b:1,(d:1,(e:1,f:2):3):1);",
                "((a:0.5,b:2):1,(c:1,d:4):2,(e:1,f:2):3);", "(((a:1,f:2):1,c:1):2,(d:1,(e:1,b:2):3):1);"});
  Result<Snapshots> built =
      from_newick_iter_opts(source, {.rooted = rooted, .weighted = true, .keep_clades = true});
  EXPECT_TRUE(built) << built.error();
  return SavedSet{std::move(built).value(), rooted, true};
}

CladeTable rows_of(const std::vector<std::vector<LeafId>>& rows) {
  CladeTable table;
  for (const std::vector<LeafId>& row : rows) table.push(row);
  return table;
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
  struct Case {
    const char* what;
    std::function<void(SavedSet&)> damage;
    const char* message;
  };
  const auto first_split = [](const SavedSet& saved) { return saved.set.snaps[0].ids.at(0); };
  const std::vector<Case> cases = {
      {"one clade under two ids",
       [&](SavedSet& saved) {
         auto rows = rows_of(saved.set.clades);
         const SplitId twin = first_split(saved);
         rows.push_back(rows[twin]);
         saved.set.clades = rows_of(rows);
         saved.set.snaps[1].ids.push_back(static_cast<SplitId>(rows.size() - 1));
         saved.set.snaps[1].lengths.push_back(1.0);
       },
       "bad clade row"},
      {"a leaf row that is not its one leaf",
       [](SavedSet& saved) {
         auto rows = rows_of(saved.set.clades);
         rows[2] = {2, 3};
         saved.set.clades = rows_of(rows);
       },
       "bad clade row"},
      {"a split side holding leaf 0",
       [&](SavedSet& saved) {
         auto rows = rows_of(saved.set.clades);
         std::vector<LeafId> other;
         const std::vector<LeafId>& side = rows[first_split(saved)];
         for (LeafId leaf = 0; leaf < 6; ++leaf)
           if (std::find(side.begin(), side.end(), leaf) == side.end()) other.push_back(leaf);
         rows[first_split(saved)] = other;
         saved.set.clades = rows_of(rows);
       },
       "bad clade row"},
      {"a split of one leaf",
       [&](SavedSet& saved) {
         auto rows = rows_of(saved.set.clades);
         rows[first_split(saved)] = {5};
         saved.set.clades = rows_of(rows);
       },
       "bad clade row"},
      {"a split no tree holds",
       [](SavedSet& saved) {
         auto rows = rows_of(saved.set.clades);
         rows.push_back({1, 3});
         saved.set.clades = rows_of(rows);
       },
       "a split no tree holds"},
      {"a tree with more splits than a binary tree",
       [](SavedSet& saved) {
         InternSnap& tree = saved.set.snaps[0];
         for (SplitId s : saved.set.snaps[3].ids) {
           if (std::find(tree.ids.begin(), tree.ids.end(), s) != tree.ids.end()) continue;
           tree.ids.push_back(s);
           tree.lengths.push_back(1.0);
         }
       },
       "too many splits"},
      {"an id twice in one tree",
       [](SavedSet& saved) {
         InternSnap& tree = saved.set.snaps[0];
         tree.ids[1] = tree.ids[0];
       },
       "bad split id"},
      {"a leaf name that is not UTF-8", [](SavedSet& saved) { saved.set.leaf_names[5] = "f\xff"; },
       "not UTF-8"},
      {"a bit row width that does not fit the leaves", [](SavedSet& saved) { saved.set.row_words = 2; },
       "inconsistent counts"},
  };
  for (const Case& item : cases) {
    SavedSet saved = saved_set();
    item.damage(saved);
    Result<SavedSet> loaded = deserialise(serialise(saved));
    ASSERT_FALSE(loaded) << item.what;
    EXPECT_NE(loaded.error().find(item.message), std::string::npos) << item.what << ": " << loaded.error();
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
