#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "snapshot/result.hpp"
#include "summaries/consensus.hpp"
#include "summaries/mcc.hpp"
#include "summaries/shape.hpp"
#include "summaries/split_summary.hpp"

namespace cladomatic {
namespace {

using Row = std::vector<LeafId>;

// The clades of a random rooted binary tree over leaves 0..n-1, leaves and the root left out.
std::vector<Row> random_clades(std::uint32_t n, std::mt19937_64& rng) {
  std::vector<Row> parts;
  for (LeafId leaf = 0; leaf < n; ++leaf) parts.push_back({leaf});
  std::vector<Row> clades;
  while (parts.size() > 1) {
    std::shuffle(parts.begin(), parts.end(), rng);
    Row joined = parts.back();
    parts.pop_back();
    joined.insert(joined.end(), parts.back().begin(), parts.back().end());
    std::sort(joined.begin(), joined.end());
    parts.back() = joined;
    if (parts.size() > 1) clades.push_back(joined);
  }
  return clades;
}

// A clade table of the leaves then `rows`, as the interner lays one out: split id = row.
CladeTable table_of(std::uint32_t n, const std::vector<Row>& rows) {
  CladeTable table = CladeTable::singletons(n);
  for (const Row& row : rows) table.push(row);
  return table;
}

TEST(ShapeOf, EveryInnerNodeHoldsItsSplitsLeavesInPreorder) {
  std::mt19937_64 rng(7);
  for (std::uint32_t n : {2u, 3u, 5u, 17u, 70u}) {
    const std::vector<Row> clades = random_clades(n, rng);
    const CladeTable table = table_of(n, clades);
    std::vector<SplitId> ids;
    for (std::size_t r = 0; r < clades.size(); ++r)
      if (rng() % 4 != 0) ids.push_back(static_cast<SplitId>(n + r));  // a polytomy where one is left out
    std::shuffle(ids.begin(), ids.end(), rng);
    const Shape shape = shape_of(table, ids, n);
    ASSERT_EQ(shape.parent.size(), ids.size() + n + 1);
    EXPECT_EQ(shape.parent[0], kNoParent);
    std::vector<Row> below(shape.parent.size());
    std::vector<LeafId> first(shape.parent.size(), n);  // smallest leaf of the previous child
    for (std::size_t v = shape.parent.size(); v-- > 1;) {
      ASSERT_LT(shape.parent[v], v);
      if (shape.split[v] < n) below[v].push_back(shape.split[v]);
      std::sort(below[v].begin(), below[v].end());
      EXPECT_EQ(below[v], Row(table.row(shape.split[v]).begin(), table.row(shape.split[v]).end()));
      // walking backwards, siblings come in decreasing order of their smallest leaf
      EXPECT_LT(below[v].front(), first[shape.parent[v]]);
      first[shape.parent[v]] = below[v].front();
      below[shape.parent[v]].insert(below[shape.parent[v]].end(), below[v].begin(), below[v].end());
    }
    EXPECT_EQ(below[0].size(), n);
  }
  const CladeTable crossing = table_of(4, {{0, 1}, {1, 2}});
  EXPECT_THROW(shape_of(crossing, std::vector<SplitId>{4, 5}, 4), InvariantFailure);
}

bool compatible(const Row& a, const Row& b) {
  std::vector<LeafId> both;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
  return both.empty() || both.size() == a.size() || both.size() == b.size();
}

TEST(GreedySplits, MatchesTheDefinition) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20; ++round) {
    const std::uint32_t n = 6 + static_cast<std::uint32_t>(rng() % 70);
    std::map<Row, SplitId> seen;
    std::vector<Row> rows;
    for (int tree = 0; tree < 6; ++tree)
      for (const Row& clade : random_clades(n, rng))
        if (seen.try_emplace(clade, n + rows.size()).second) rows.push_back(clade);
    const CladeTable table = table_of(n, rows);
    std::vector<std::uint32_t> freq(n + rows.size(), 6);
    std::vector<std::uint32_t> first(n + rows.size(), 0);
    for (std::size_t s = n; s < freq.size(); ++s) {
      freq[s] = 1 + static_cast<std::uint32_t>(rng() % 3);  // many ties
      first[s] = static_cast<std::uint32_t>(rng() % 6);
    }
    std::vector<SplitId> order(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) order[r] = static_cast<SplitId>(n + r);
    std::stable_sort(order.begin(), order.end(), [&](SplitId a, SplitId b) {
      return std::pair(-static_cast<int>(freq[a]), first[a]) <
             std::pair(-static_cast<int>(freq[b]), first[b]);
    });
    std::vector<SplitId> expected;
    for (SplitId s : order)
      if (std::all_of(expected.begin(), expected.end(),
                      [&](SplitId k) { return compatible(rows[s - n], rows[k - n]); }))
        expected.push_back(s);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(greedy_splits(table, freq, first, n, true), expected) << "round " << round;
  }
}

// One split (id 0) held by trees with these lengths, each in its own group.
SplitSummary one_split(const std::vector<double>& lengths) {
  std::vector<InternSnap> snaps;
  for (double length : lengths) snaps.push_back(InternSnap{{0}, {length}, 0});
  const std::vector<std::uint32_t> freq{static_cast<std::uint32_t>(lengths.size())};
  std::vector<std::int32_t> groups(lengths.size());
  for (std::size_t t = 0; t < groups.size(); ++t) groups[t] = static_cast<std::int32_t>(t % 2);
  return summarise_splits(snaps, freq, groups, 2, std::vector<SplitId>{0}, true);
}

TEST(SummariseSplits, MeanUpperMedianAndMrBayesInterval) {
  struct Case {
    std::vector<double> lengths;
    double mean, median, low, high;
  };
  std::vector<double> ramp(40);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(40 - i);
  std::vector<double> outlier(40, 0.0);
  outlier[7] = 5.0;
  // 0, 10..47, 100: the shortest stretch of 38 is [10, 47], but [10, 100]
  // (one value longer) is not narrower than [0, 46], so MrBayes keeps [0, 46]
  std::vector<double> low_outlier{100.0, 0.0};
  for (double x = 10.0; x <= 47.0; ++x) low_outlier.push_back(x);
  const std::vector<Case> cases{
      {{2.0}, 2.0, 2.0, 2.0, 2.0},
      {{4.0, 1.0, 3.0, 2.0}, 2.5, 3.0, 1.0, 4.0},  // floor(3.8 + 0.5) = 4: all of them
      {ramp, 20.5, 21.0, 1.0, 38.0},               // 38 of 40 values, the first stretch
      {outlier, 0.125, 0.0, 0.0, 0.0},             // 38 of 40 values: the outlier left out
      {low_outlier, 29.575, 29.0, 0.0, 46.0},
  };
  for (const Case& c : cases) {
    const SplitSummary s = one_split(c.lengths);
    EXPECT_DOUBLE_EQ(s.mean[0], c.mean);
    EXPECT_EQ(std::vector<double>({s.median[0], s.hpd_low[0], s.hpd_high[0]}),
              std::vector<double>({c.median, c.low, c.high}));
    EXPECT_EQ(s.counts[0] + s.counts[1], static_cast<std::int64_t>(c.lengths.size()));
    EXPECT_EQ(s.counts[0], static_cast<std::int64_t>((c.lengths.size() + 1) / 2));
  }
  // NaN lengths sort last instead of breaking the sort
  const SplitSummary odd = one_split({NAN, 1.0, NAN, 2.0, 3.0});
  EXPECT_EQ(odd.median[0], 3.0);
  EXPECT_TRUE(std::isnan(odd.mean[0]));
}

// From 64 lengths on only the ends and the median are put in order: they
// must read as a full sort reads, ties, -0, NaN and outliers included.
TEST(SummariseSplits, OrderedEndsReadAsAFullSort) {
  std::mt19937_64 random(20261208);
  for (std::size_t m : {64u, 65u, 999u, 4000u}) {
    std::vector<double> lengths(m);
    for (double& x : lengths) x = static_cast<double>(random() % 300) / 100.0;
    lengths[random() % m] = -0.0;
    lengths[random() % m] = 1e6;
    lengths[random() % m] = NAN;
    std::vector<double> sorted = lengths;
    std::ranges::sort(sorted, [](double a, double b) { return std::strong_order(a, b) < 0; });
    const auto width = static_cast<std::size_t>(static_cast<double>(m) * 0.95 + 0.5);
    // The rule as the header states it: the first least of the longer
    // stretches, where it is below the first stretch.
    std::vector<double> longer;
    for (std::size_t i = 1; i + width < m; ++i) longer.push_back(sorted[i + width] - sorted[i]);
    const auto least = std::ranges::min_element(longer);
    const std::size_t start = least != longer.end() && *least < sorted[width - 1] - sorted[0]
                                  ? 1 + static_cast<std::size_t>(least - longer.begin())
                                  : 0;
    const SplitSummary s = one_split(lengths);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(s.median[0]), std::bit_cast<std::uint64_t>(sorted[m / 2]));
    EXPECT_EQ(std::vector<double>({s.hpd_low[0], s.hpd_high[0]}),
              std::vector<double>({sorted[start], sorted[start + width - 1]}));
  }
}

TEST(MccTree, FirstOfEqualCredibility) {
  // splits 0..3 held by 3, 2, 2 and 1 of the trees
  const std::vector<std::uint32_t> freq{3, 2, 2, 1};
  const auto tree = [](std::vector<SplitId> ids) { return InternSnap{std::move(ids), {}, 0}; };
  EXPECT_EQ(mcc_tree(std::vector<InternSnap>{tree({0, 3}), tree({0, 1}), tree({2, 0})}, freq), 1u);
  EXPECT_EQ(mcc_tree(std::vector<InternSnap>{tree({3, 0}), tree({2, 0}), tree({0, 1})}, freq), 1u);
}

}  // namespace
}  // namespace cladomatic
