#include "snapshot/intern.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <map>
#include <optional>
#include <random>
#include <tuple>

#include "hand_trees.hpp"
#include "same_set.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {
namespace {

using testing::make_snapshot;
using testing::Range;

std::vector<LeafId> iota_order(std::uint32_t n) {
  std::vector<LeafId> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  return order;
}

Snapshots intern_in_chunks(const std::vector<Snapshot>& trees, const InternerOptions& options,
                           std::size_t chunk) {
  Interner interner(options);
  for (std::size_t first = 0; first < trees.size(); first += chunk) {
    std::size_t last = std::min(trees.size(), first + chunk);
    auto error = interner.push_chunk(std::vector<Snapshot>(trees.begin() + first, trees.begin() + last));
    EXPECT_FALSE(error.has_value()) << error->message;
  }
  return std::move(interner).finish({});
}

std::vector<Snapshot> random_trees(std::uint32_t n, std::size_t count, bool rooted, std::uint64_t seed) {
  std::vector<Key> labels = testing::random_labels(n, 7);
  std::mt19937_64 rng(seed);
  std::vector<Snapshot> trees;
  for (std::size_t t = 0; t < count; ++t) trees.push_back(testing::random_tree(n, rooted, labels, rng));
  return trees;
}

std::uint32_t smaller_side(const Part& part, std::uint32_t n) {
  return std::min(part.count, n - part.count);
}

// Derives every id, count, row and length from the trees alone and compares.
void expect_matches_oracle(const std::vector<Snapshot>& trees, const Snapshots& set,
                           const InternerOptions& options) {
  const std::uint32_t n = options.n_leaves;
  using Split = std::pair<Key, std::uint32_t>;
  std::map<Split, SplitId> id_of;
  std::map<SplitId, std::tuple<Split, std::size_t, std::size_t>> first_seen;  // split, tree, part
  std::map<SplitId, std::uint32_t> trees_with;
  ASSERT_EQ(set.snaps.size(), trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const InternSnap& snap = set.snaps[t];
    ASSERT_EQ(snap.n_pendant, n);
    std::size_t k = 0;
    for (std::size_t i = 0; i < trees[t].parts.size(); ++i) {
      const Part& part = trees[t].parts[i];
      if (part.count == 1) {
        EXPECT_EQ(snap.lengths[trees[t].order[part.start]], part.length);
        continue;
      }
      ASSERT_LT(k, snap.ids.size());
      SplitId id = snap.ids[k];
      Split split{part.key, smaller_side(part, n)};
      auto [it, fresh] = id_of.emplace(split, id);
      EXPECT_EQ(it->second, id) << "one split, two ids";
      if (fresh) first_seen[id] = {split, t, i};
      ++trees_with[id];
      EXPECT_EQ(snap.lengths[n + k], part.length);
      ++k;
    }
    EXPECT_EQ(k, snap.ids.size());
  }
  ASSERT_EQ(first_seen.size(), id_of.size()) << "two splits, one id";
  ASSERT_EQ(set.freq.size(), n + id_of.size());
  for (std::uint32_t i = 0; i < n; ++i) EXPECT_EQ(set.freq[i], trees.size());
  for (auto [id, count] : trees_with) EXPECT_EQ(set.freq[id], count);

  // Ids after the pendants run shard by shard (low key byte), each shard in
  // order of first appearance.
  SplitId expected = n;
  std::optional<std::tuple<unsigned, std::size_t, std::size_t>> previous;
  for (auto& [id, seen] : first_seen) {
    auto& [split, t, i] = seen;
    EXPECT_EQ(id, expected++);
    std::tuple<unsigned, std::size_t, std::size_t> place{unsigned(split.first & 0xFF), t, i};
    if (previous) {
      EXPECT_LT(*previous, place);
    }
    previous = place;
    if (options.keep_clades) {
      auto row = set.clades.row(id);
      EXPECT_EQ(std::vector<LeafId>(row.begin(), row.end()),
                testing::canonical_side(trees[t], trees[t].parts[i], options.rooted));
    }
  }
  if (options.keep_clades) {
    ASSERT_EQ(set.clades.rows(), set.freq.size());
    for (std::uint32_t i = 0; i < n; ++i)
      EXPECT_EQ(std::vector<LeafId>(set.clades.row(i).begin(), set.clades.row(i).end()),
                std::vector<LeafId>{i});
  }
}

TEST(Interner, AgreesWithOracleInBothModes) {
  for (bool rooted : {false, true}) {
    for (bool on_demand : {false, true}) {
      SCOPED_TRACE(rooted ? "rooted" : "unrooted");
      SCOPED_TRACE(on_demand ? "rows on demand" : "rows kept");
      // 70 leaves: rows span two words; 150 trees give a few thousand splits.
      std::vector<Snapshot> trees = random_trees(70, 150, rooted, 11);
      // Repeat trees so that most splits occur more than once.
      for (std::size_t t = 0; t < 50; ++t) trees.push_back(trees[t * 2]);
      InternerOptions options{.n_leaves = 70,
                              .row_words = 2,
                              .rooted = rooted,
                              .weighted = true,
                              .keep_clades = true,
                              .rows_on_demand = on_demand};
      Snapshots set = intern_in_chunks(trees, options, 64);
      EXPECT_EQ(set.clade_sources.pending, on_demand);
      EXPECT_FALSE(with_clades(set));
      expect_matches_oracle(trees, set, options);
      EXPECT_EQ(set.row_words, 2u);
    }
  }
}

TEST(Interner, SameResultWhateverThreadsAndChunking) {
  std::vector<Snapshot> trees = random_trees(30, 300, false, 5);
  InternerOptions options{.n_leaves = 30, .row_words = 1, .weighted = true, .keep_clades = true};
  Snapshots reference = intern_in_chunks(trees, options, trees.size());
  auto expect_same = [&reference](const Snapshots& other) { testing::expect_same_set(other, reference); };
  for (std::size_t chunk : {1, 7, 64}) expect_same(intern_in_chunks(trees, options, chunk));
  tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
  expect_same(intern_in_chunks(trees, options, 13));
}

TEST(Interner, EqualKeysWithDifferentSizesAreRefused) {
  // Keys are forged: a collision between a 2-leaf and a 3-leaf side.
  const Key key = (Key{0xABCD} << 64) | 0x1234;
  Snapshot two{{Part{key, 1.0, 0, 2}}, iota_order(6), 1};
  Snapshot three{{Part{key, 2.0, 0, 3}}, iota_order(6), 1};
  Interner interner(InternerOptions{.n_leaves = 6, .row_words = 1});
  auto error = interner.push_chunk({two, three, two});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message.rfind("Tree 0 and tree 1 hold different splits with the same 128-bit key", 0), 0u);
}

TEST(Interner, EqualKeysAndSizesOfDifferentLeafSetsAreRefused) {
  // Keys are forged: two different 2-leaf sides under one key, {0, 1} at
  // start 0 and {2, 3} at start 2, told apart only by their checks.
  const Key key = (Key{0xABCD} << 64) | 0x1234;
  auto tree = [&](std::vector<std::uint32_t> starts) {
    Snapshot snap{{}, iota_order(6), 1};
    for (std::uint32_t start : starts) snap.parts.push_back(Part{key, 1.0, start, 2});
    return snap;
  };
  const InternerOptions options{.n_leaves = 6, .row_words = 1, .keep_clades = true};
  const std::string across = "Tree 0 and tree 2 hold different splits with the same 128-bit key";
  for (std::size_t chunk : {1, 3}) {
    Interner interner(options);
    std::optional<Error> error;
    std::vector<Snapshot> trees{tree({0}), tree({0}), tree({2})};
    for (std::size_t first = 0; first < trees.size() && !error; first += chunk) {
      error = interner.push_chunk(std::vector<Snapshot>(
          trees.begin() + first, trees.begin() + std::min(first + chunk, trees.size())));
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message.substr(0, across.size()), across) << error->message;
  }
  Interner within(options);
  auto error = within.push_chunk({tree({}), tree({0, 2})});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message.rfind("Tree 1 holds two different splits with the same 128-bit key", 0), 0u);
}

TEST(Interner, PendantIdsExistOnlyWhenLengthsOrRowsAreKept) {
  std::vector<Key> labels = testing::random_labels(4, 3);
  // A star tree written in the order 2, 0, 3, 1 and a tree ((0,1),(2,3)).
  std::vector<Range> star{{0, 1, 0.2}, {1, 1, 0.0}, {2, 1, 0.3}, {3, 1, 0.1}};
  Snapshot star_tree = make_snapshot({2, 0, 3, 1}, star, false, labels);
  Snapshot quartet = make_snapshot(
      {0, 1, 2, 3}, {{0, 1, 1}, {1, 1, 1}, {0, 2, 0.5}, {2, 1, 1}, {3, 1, 1}, {2, 2, 0.25}}, false, labels);
  std::vector<Snapshot> trees{star_tree, quartet};

  Snapshots plain = intern_in_chunks(trees, InternerOptions{.n_leaves = 4, .row_words = 1}, 2);
  EXPECT_TRUE(plain.snaps[0].ids.empty());
  EXPECT_EQ(plain.snaps[1].ids, std::vector<SplitId>{0});
  EXPECT_EQ(plain.snaps[1].n_pendant, 0u);
  EXPECT_TRUE(plain.snaps[1].lengths.empty());
  EXPECT_EQ(plain.freq, std::vector<std::uint32_t>{1});
  EXPECT_EQ(plain.clades.rows(), 0u);

  Snapshots weighted =
      intern_in_chunks(trees, InternerOptions{.n_leaves = 4, .row_words = 1, .weighted = true}, 1);
  EXPECT_TRUE(weighted.snaps[0].ids.empty());
  EXPECT_EQ(weighted.snaps[0].lengths, (std::vector<double>{0.0, 0.1, 0.2, 0.3}));
  EXPECT_EQ(weighted.snaps[1].ids, std::vector<SplitId>{4});
  // The two sides of the quartet's middle edge are one part with both lengths.
  EXPECT_EQ(weighted.snaps[1].lengths, (std::vector<double>{1, 1, 1, 1, 0.75}));
  EXPECT_EQ(weighted.freq, (std::vector<std::uint32_t>{2, 2, 2, 2, 1}));
  EXPECT_EQ(weighted.clades.rows(), 0u);

  Snapshots rows =
      intern_in_chunks(trees, InternerOptions{.n_leaves = 4, .row_words = 1, .keep_clades = true}, 2);
  EXPECT_EQ(rows.snaps[1].ids, std::vector<SplitId>{4});
  EXPECT_TRUE(rows.snaps[1].lengths.empty());
  ASSERT_EQ(rows.clades.rows(), 5u);
  EXPECT_EQ(std::vector<LeafId>(rows.clades.row(4).begin(), rows.clades.row(4).end()),
            (std::vector<LeafId>{2, 3}));
}

// Parts with forged keys whose low byte picks the shard.
Snapshot forged(std::vector<Key> keys) {
  Snapshot snap{{}, iota_order(6), 1};
  for (Key key : keys) snap.parts.push_back(Part{key, 0.0, 0, 2});
  return snap;
}

TEST(Interner, ShardLimitRejectsOnlyNewSplits) {
  InternerOptions options{.n_leaves = 6, .row_words = 1, .shard_limit = 2};
  Interner interner(options);
  EXPECT_FALSE(interner.push_chunk({forged({0x100, 0x200}), forged({0x100, 0x201})}));
  // Shard 0 is full, yet its known splits and other shards still intern.
  EXPECT_FALSE(interner.push_chunk({forged({0x200, 0x100, 0x301})}));
  auto error = interner.push_chunk({forged({0x100}), forged({0x300})});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "Too many distinct splits for 32-bit split IDs.");
}

TEST(Interner, TotalLimitCountsPendantIds) {
  // Six pendant ids plus two splits in different shards reach the limit.
  InternerOptions options{.n_leaves = 6, .row_words = 1, .weighted = true, .total_limit = 8};
  Interner fits(options);
  EXPECT_FALSE(fits.push_chunk({forged({0x100}), forged({0x101, 0x100})}));
  Snapshots set = std::move(fits).finish({});
  EXPECT_EQ(set.freq.size(), 8u);

  Interner over(options);
  EXPECT_FALSE(over.push_chunk({forged({0x100, 0x101})}));
  auto error = over.push_chunk({forged({0x102})});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "Too many distinct splits for 32-bit split IDs.");
}

TEST(Interner, CladeEntryLimitGuardsRowOffsets) {
  // Six singleton entries plus two 2-leaf clades: 10 entries.
  InternerOptions options{
      .n_leaves = 6, .row_words = 1, .rooted = true, .keep_clades = true, .clade_entry_limit = 9};
  Interner interner(options);
  EXPECT_FALSE(interner.push_chunk({forged({0x100})}));
  auto error = interner.push_chunk({forged({0x100, 0x205})});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "Too many distinct splits for 32-bit clade row offsets.");
}

TEST(Interner, RowsOnDemandMeetTheEntryLimitOnlyWhenLaidOut) {
  InternerOptions options{.n_leaves = 6,
                          .row_words = 1,
                          .rooted = true,
                          .keep_clades = true,
                          .rows_on_demand = true,
                          .clade_entry_limit = 9};
  Interner interner(options);
  EXPECT_FALSE(interner.push_chunk({forged({0x100, 0x205})}));
  Snapshots set = std::move(interner).finish({});
  std::optional<Error> error = with_clades(set);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "Too many distinct splits for 32-bit clade row offsets.");
}

TEST(Interner, CladeEntryLimitStopsOneShardBeforeItAllocates) {
  // Six singleton entries leave three: the second 2-leaf row of shard 0 in
  // the same chunk is refused, though the whole chunk is never summed first.
  InternerOptions options{
      .n_leaves = 6, .row_words = 1, .rooted = true, .keep_clades = true, .clade_entry_limit = 9};
  Interner interner(options);
  auto error = interner.push_chunk({forged({0x100, 0x200})});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "Too many distinct splits for 32-bit clade row offsets.");
}

TEST(Interner, RejectsRecordsThatBreakTheSnapshotInvariants) {
  Interner interner(InternerOptions{.n_leaves = 6, .row_words = 1});
  Snapshot bad{{Part{1, 0.0, 5, 2}}, iota_order(6), 1};
  EXPECT_THROW((void)interner.push_chunk({bad}), InvariantFailure);
  EXPECT_THROW(Interner(InternerOptions{.shard_limit = (1u << 24) + 1}), InvariantFailure);
}

}  // namespace
}  // namespace cladomatic
