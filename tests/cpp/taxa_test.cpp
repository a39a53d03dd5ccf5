// Sets whose trees hold different taxa: reading them, restricting them to
// common taxa, laying them out as arcs, and saving them.
#include "snapshot/taxa.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "distances/pruned.hpp"
#include "snapshot/restrict.hpp"
#include "snapshot/serialise.hpp"
#include "snapshot/snapshots.hpp"
#include "text_source.hpp"

namespace cladomatic {
namespace {

using testing::Texts;

Result<Snapshots> read(std::vector<std::string> texts, bool any_taxa, bool rooted = false,
                       std::size_t chunk = 0) {
  Texts source(std::move(texts));
  return from_newick_iter_opts(
      source,
      {.rooted = rooted, .weighted = true, .keep_clades = true, .any_taxa = any_taxa, .chunk_size = chunk});
}

using Side = std::set<std::string>;

// Per tree, each split's stored side by name with its length.
std::vector<std::map<Side, double>> splits_by_name(const Snapshots& set) {
  std::vector<std::map<Side, double>> trees;
  for (const InternSnap& snap : set.snaps) {
    std::map<Side, double>& tree = trees.emplace_back();
    for (std::size_t p = 0; p < snap.ids.size(); ++p) {
      Side side;
      for (LeafId leaf : set.clades.row(snap.ids[p])) side.insert(set.leaf_names[leaf]);
      tree[side] = snap.lengths[snap.n_pendant + p];
    }
  }
  return trees;
}

// Random binary trees over random subsets of n taxa (each taxon left out
// one time in `left_out_one_in`), with lengths.
std::vector<std::string> random_trees(std::size_t n, std::size_t count, std::uint64_t seed,
                                      std::uint64_t left_out_one_in = 3) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> texts;
  for (std::size_t t = 0; t < count; ++t) {
    std::vector<std::string> nodes;
    for (std::size_t i = 0; i < n; ++i)
      if (rng() % left_out_one_in != 0)
        nodes.push_back("t" + std::to_string(i) + ":" + std::to_string(rng() % 9 + 1));
    while (nodes.size() < 4) nodes.push_back("t" + std::to_string(n + nodes.size()) + ":1");
    while (nodes.size() > 2) {
      const std::size_t a = rng() % nodes.size();
      std::string left = nodes[a];
      nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(a));
      const std::size_t b = rng() % nodes.size();
      nodes[b] = "(" + left + "," + nodes[b] + "):" + std::to_string(rng() % 9 + 1);
    }
    texts.push_back("(" + nodes[0] + "," + nodes[1] + ");");
  }
  return texts;
}

TEST(AnyTaxa, EachTreeIsSplitOverItsOwnTaxa) {
  Result<Snapshots> built =
      read({"((A:1,B:2):3,(C:4,D:5):6);", "((A,C):2,(B,E,F):1);", "((Z,A),(B,(C,D):4));"}, true);
  ASSERT_TRUE(built) << built.error();
  const Snapshots& set = built.value();
  EXPECT_EQ(set.leaf_names, (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "Z"}));
  ASSERT_EQ(set.taxa.size(), 3u);
  EXPECT_EQ(set.taxa, (std::vector<std::uint64_t>{0b0001111, 0b0110111, 0b1001111}));
  EXPECT_EQ(set.freq[4], 1u);  // only tree 1 holds E
  // Unrooted: the side without the tree's first taxon; the root's two edges are one split.
  const std::vector<std::map<Side, double>> expected = {
      {{{"C", "D"}, 9.0}}, {{{"B", "E", "F"}, 3.0}}, {{{"B", "C", "D"}, 0.0}, {{"C", "D"}, 4.0}}};
  EXPECT_EQ(splits_by_name(set), expected);
  // Pendant lengths by leaf, zero where the tree lacks the leaf.
  EXPECT_EQ(std::vector<double>(set.snaps[0].lengths.begin(), set.snaps[0].lengths.begin() + 7),
            (std::vector<double>{1, 2, 4, 5, 0, 0, 0}));
}

TEST(AnyTaxa, OneLeafSetIsTheUsualSetWhateverTheChunking) {
  const std::vector<std::string> texts = random_trees(0, 40, 5);  // every tree holds t0..t3 alone
  std::vector<std::string> wide = random_trees(70, 30, 6);        // over two words of taxa
  for (const auto& [trees, rooted] : {std::pair{texts, false}, {texts, true}, {wide, false}}) {
    Result<Snapshots> usual = read(trees, false, rooted);
    const bool one_set = usual.ok();
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{0}}) {
      Result<Snapshots> any = read(trees, true, rooted, chunk);
      ASSERT_TRUE(any) << any.error();
      EXPECT_EQ(any.value().taxa.empty(), one_set);
      if (one_set) {
        EXPECT_EQ(splits_by_name(any.value()), splits_by_name(usual.value()));
      }
      EXPECT_EQ(splits_by_name(any.value()), splits_by_name(read(trees, true, rooted, 3).value()));
    }
  }
}

TEST(AnyTaxa, ErrorsNameTheFirstTreeAtFault) {
  EXPECT_EQ(read({"(A,B,C);", "(A,(B,C),D,B);", "(A,B"}, true, false, 2).error(),
            "Tree 1 repeats the leaf name \"B\". All leaf names must be unique.");
  EXPECT_EQ(read({"(A,B,C);", "(D,E,F);", "(A,B"}, true, false, 1).error(),
            "Failed to parse newick at index 2: the tree does not end in ';'");
}

TEST(Restricted, IsThePrunedTreeRead) {
  // tree -> the same tree pruned to A, B, C, D by hand (chains summed, a root of degree 2 merged)
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"((A:1,B:1):1,(C:1,(D:1,E:1):2):3);", "((A:1,B:1):1,(C:1,D:3):3);"},
      {"((A:1,X:1):1,(B:1,(C:1,D:1):1):1);", "(A:3,B:1,(C:1,D:1):1);"},
      {"(((A:1,B:1):1,X:5):1,(C:1,D:1,E:1):2);", "((A:1,B:1):4,C:1,D:1);"},
      {"((A:1,(B:2,(X:1,Y:1):1):3):1,(C:1,D:1):2,E:7);", "((A:1,B:5):3,C:1,D:1);"},
  };
  for (const bool rooted : {false, true}) {
    std::vector<std::string> trees, pruned;
    for (const auto& [tree, expected] : cases) {
      trees.push_back(tree);
      pruned.push_back(expected);
    }
    const Snapshots set = read(trees, true, rooted).value();
    std::vector<LeafId> keep;
    for (const char* name : {"A", "B", "C", "D"})
      keep.push_back(static_cast<LeafId>(std::find(set.leaf_names.begin(), set.leaf_names.end(), name) -
                                         set.leaf_names.begin()));
    const Snapshots restricted_set = restricted(set, keep, rooted, true);
    EXPECT_TRUE(restricted_set.taxa.empty());
    EXPECT_EQ(restricted_set.leaf_names, (std::vector<std::string>{"A", "B", "C", "D"}));
    const Snapshots by_hand = read(pruned, false, rooted).value();
    if (rooted) {  // a rooted tree keeps the side of its clade; the edges above A, B, C, D's root go
      EXPECT_EQ(splits_by_name(restricted_set)[0],
                (std::map<Side, double>{{{"A", "B"}, 1.0}, {{"C", "D"}, 3.0}}));
      continue;
    }
    EXPECT_EQ(splits_by_name(restricted_set), splits_by_name(by_hand));
    for (std::size_t t = 0; t < trees.size(); ++t)
      EXPECT_EQ(restricted_set.snaps[t].lengths.front(), by_hand.snaps[t].lengths.front())
          << t;  // A's pendant
  }
}

TEST(PrunedLayout, EverySplitIsAnArcOfItsTree) {
  for (const bool rooted : {false, true}) {
    const Snapshots set = read(random_trees(90, 25, 3), true, rooted).value();
    std::vector<LeafId> own(set.leaf_names.size());
    for (LeafId leaf = 0; leaf < own.size(); ++leaf) own[leaf] = leaf;
    Result<PrunedLayout> laid =
        lay_out_pruned(set, rooted, true, own, static_cast<std::uint32_t>(own.size()));
    ASSERT_TRUE(laid) << laid.error();
    const PrunedLayout& layout = laid.value();
    for (std::size_t t = 0; t < set.snaps.size(); ++t) {
      const std::vector<LeafId> taxa = taxa_of(set, t);
      const LeafId* order = layout.order.data() + layout.leaf_offsets[t];
      ASSERT_EQ(layout.leaf_offsets[t + 1] - layout.leaf_offsets[t], taxa.size());
      EXPECT_EQ(std::set<LeafId>(order, order + taxa.size()), std::set<LeafId>(taxa.begin(), taxa.end()));
      if (!rooted) {
        EXPECT_EQ(order[0], taxa.front());
      }
      for (std::size_t p = 0; p < set.snaps[t].ids.size(); ++p) {
        const std::uint64_t e = layout.offsets[t] + p;
        const std::set<LeafId> arc(order + layout.starts[e], order + layout.starts[e] + layout.counts[e]);
        std::set<LeafId> side;
        for (LeafId leaf : set.clades.row(set.snaps[t].ids[p])) side.insert(leaf);
        if (!rooted && side.contains(taxa.front())) {
          std::set<LeafId> rest(taxa.begin(), taxa.end());
          for (LeafId leaf : side) rest.erase(leaf);
          side = rest;
        }
        EXPECT_EQ(arc, side) << t << " " << p;
      }
    }
  }
}

TEST(PrunedLayout, SplitsThatDoNotNestAreRefused) {
  Snapshots set = read(random_trees(20, 4, 2), true).value();
  const std::vector<LeafId> taxa = taxa_of(set, 0);
  // Two sides of tree 0 that overlap without one holding the other: no tree has both.
  std::vector<std::vector<LeafId>> rows;
  for (std::size_t r = 0; r < set.clades.rows(); ++r)
    rows.emplace_back(set.clades.row(r).begin(), set.clades.row(r).end());
  rows[set.snaps[0].ids[0]] = {taxa[1], taxa[2]};
  rows[set.snaps[0].ids[1]] = {taxa[2], taxa[3]};
  set.clades = CladeTable{};
  for (const std::vector<LeafId>& row : rows) set.clades.push(row);
  std::vector<LeafId> own(set.leaf_names.size());
  for (LeafId leaf = 0; leaf < own.size(); ++leaf) own[leaf] = leaf;
  Result<PrunedLayout> laid = lay_out_pruned(set, false, true, own, static_cast<std::uint32_t>(own.size()));
  ASSERT_FALSE(laid);
  EXPECT_EQ(laid.error(), "A tree's splits do not nest as the splits of one tree do.");
}

// rf and rf_norm from the definition: each tree's sides cut to the shared
// taxa, made canonical, trivial ones dropped, the two sets of sides compared.
std::pair<double, double> pruned_rf_by_definition(const Snapshots& set, std::size_t i, std::size_t j,
                                                  bool rooted) {
  const std::vector<LeafId> first = taxa_of(set, i);
  const std::vector<LeafId> second = taxa_of(set, j);
  std::set<LeafId> shared;
  std::set_intersection(first.begin(), first.end(), second.begin(), second.end(),
                        std::inserter(shared, shared.end()));
  if (shared.size() < fewest_shared_taxa(rooted)) return {std::nan(""), std::nan("")};
  const auto sides = [&](std::size_t t) {
    std::set<std::set<LeafId>> kept;
    for (const SplitId id : set.snaps[t].ids) {
      std::set<LeafId> side;
      for (const LeafId leaf : set.clades.row(id))
        if (shared.contains(leaf)) side.insert(leaf);
      if (!rooted && side.contains(*shared.begin())) {
        std::set<LeafId> rest;
        std::set_difference(shared.begin(), shared.end(), side.begin(), side.end(),
                            std::inserter(rest, rest.end()));
        side = rest;
      }
      if (side.size() >= 2 && side.size() + (rooted ? 1 : 2) <= shared.size()) kept.insert(side);
    }
    return kept;
  };
  const std::set<std::set<LeafId>> x = sides(i);
  const std::set<std::set<LeafId>> y = sides(j);
  std::size_t both = 0;
  for (const std::set<LeafId>& side : x) both += y.contains(side) ? 1 : 0;
  const double only = double(x.size() + y.size() - 2 * both);
  return {only, x.empty() && y.empty() ? 0.0 : only / double(x.size() + y.size())};
}

TEST(PrunedBlock, RfOfEveryPairIsThatOfBothTreesPruned) {
  // taxa, trees, one taxon in how many left out: pairs sharing few taxa;
  // several words of taxa; more shared taxa than the counts' bit tables take
  const std::vector<std::tuple<std::size_t, std::size_t, std::uint64_t>> cases = {
      {9, 30, 2}, {130, 24, 3}, {1100, 2, 60}};
  for (const auto& [n, count, left_out_one_in] : cases) {
    for (const bool rooted : {false, true}) {
      const Snapshots set = read(random_trees(n, count, n + count, left_out_one_in), true, rooted).value();
      std::vector<LeafId> own(set.leaf_names.size());
      for (LeafId leaf = 0; leaf < own.size(); ++leaf) own[leaf] = leaf;
      const PrunedLayout layout =
          lay_out_pruned(set, rooted, false, own, static_cast<std::uint32_t>(own.size())).value();
      std::vector<std::uint32_t> trees(count);
      std::iota(trees.begin(), trees.end(), 0u);
      std::vector<std::pair<double, double>> expected(count * count);
      for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = i; j < count; ++j)
          expected[i * count + j] = expected[j * count + i] = pruned_rf_by_definition(set, i, j, rooted);
      // Within one set and across two sets: each pair taken in both orders.
      for (const PairMetric metric : {PairMetric::kRf, PairMetric::kRfNorm}) {
        for (const bool same_set : {true, false}) {
          std::vector<double> cells(count * count);
          PrunedContext context;
          context.metric = metric;
          context.rooted = rooted;
          context.same_set = same_set;
          pruned_block(context, layout, layout, Block{trees, trees}, cells.data());
          for (std::size_t cell = 0; cell < cells.size(); ++cell) {
            const double want = metric == PairMetric::kRf ? expected[cell].first : expected[cell].second;
            ASSERT_TRUE(cells[cell] == want || (std::isnan(cells[cell]) && std::isnan(want)))
                << n << " taxa, rooted " << rooted << ", cell " << cell << ": " << cells[cell] << " not "
                << want;
          }
        }
      }
    }
  }
}

TEST(Serialise, TaxaRoundTripAndDamagedTaxaAreRefused) {
  const Snapshots set = read(random_trees(70, 12, 8), true).value();
  ASSERT_FALSE(set.taxa.empty());
  Result<SavedSet> back = deserialise(serialise(SavedSet{set, false, true}));
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back.value().set.taxa, set.taxa);
  EXPECT_EQ(back.value().set.freq, set.freq);
  const auto refused = [&](const std::function<void(Snapshots&)>& damage, const std::string& message) {
    Snapshots damaged = set;
    damage(damaged);
    Result<SavedSet> loaded = deserialise(serialise(SavedSet{damaged, false, true}));
    ASSERT_FALSE(loaded) << message;
    EXPECT_NE(loaded.error().find(message), std::string::npos) << loaded.error();
  };
  const LeafId split_leaf = set.clades.row(set.snaps[0].ids[0]).front();
  refused([&](Snapshots& s) { s.taxa[split_leaf / 64] &= ~(std::uint64_t{1} << (split_leaf % 64)); },
          "a tree's taxa do not hold its splits");
  refused([](Snapshots& s) { s.taxa[1] |= std::uint64_t{1} << 63; }, "a tree's taxa do not hold its splits");
  refused([](Snapshots& s) { std::fill(s.taxa.begin(), s.taxa.end(), ~std::uint64_t{0} >> 1); }, "taxa");
}

}  // namespace
}  // namespace cladomatic
