#include "summaries/ccd.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cladomatic {
namespace {

// Four trees over A, B, C, D (leaves 0-3): ((A,B),(C,D)) twice, ((A,C),(B,D)), (((A,B),C),D).  Split ids: 4
// AB, 5 CD, 6 AC, 7 BD, 8 ABC.
Snapshots four_trees(std::vector<std::vector<SplitId>> trees) {
  Snapshots set;
  set.leaf_names = {"A", "B", "C", "D"};
  set.clades = CladeTable::singletons(4);
  for (const std::vector<LeafId>& row :
       std::vector<std::vector<LeafId>>{{0, 1}, {2, 3}, {0, 2}, {1, 3}, {0, 1, 2}})
    set.clades.push(row);
  set.freq.assign(9, 0);
  for (std::vector<SplitId>& ids : trees) {
    for (SplitId s = 0; s < 4; ++s) ++set.freq[s];
    for (SplitId s : ids) ++set.freq[s];
    set.snaps.push_back(InternSnap{std::move(ids), {}, 4});
  }
  return set;
}

TEST(Ccd, BothDistributionsOfASmallSetByHand) {
  const Snapshots set = four_trees({{4, 5}, {4, 5}, {6, 7}, {4, 8}});
  Result<CcdGraph> built = ccd_graph(set);
  ASSERT_TRUE(built.ok());
  const CcdGraph& graph = built.value();
  EXPECT_EQ(graph.root, 9u);
  const CcdTables ccd1 = ccd_tables(graph, CcdKind::kCcd1);
  const CcdTables ccd0 = ccd_tables(graph, CcdKind::kCcd0);
  // CCD1 holds the three sampled topologies; CCD0 also ((A,C),B),D), whose clades the set holds apart.
  EXPECT_DOUBLE_EQ(ccd1.log_trees[graph.root], std::log(3.0));
  EXPECT_DOUBLE_EQ(ccd0.log_trees[graph.root], std::log(4.0));
  const std::vector<CcdSplit> best = ccd_map_nodes(graph, ccd1);
  ASSERT_EQ(best.size(), 3u);
  EXPECT_EQ(best[0].parent, graph.root);
  EXPECT_EQ(best[0].first, 4u);
  EXPECT_EQ(best[0].second, 5u);
  EXPECT_DOUBLE_EQ(ccd_log_probability(graph, ccd1, best), std::log(0.5));
  // CCD0: f(AB) f(CD) = 3/8 of a normaliser 3/8 + 1/16 + 3/16 + 1/16 = 11/16
  EXPECT_DOUBLE_EQ(ccd_log_probability(graph, ccd0, best), std::log(6.0 / 11.0));
  const std::vector<CcdSplit> recombined{{9, 8, 3, 0}, {8, 6, 1, 0}, {6, 0, 2, 0}};
  EXPECT_EQ(ccd_log_probability(graph, ccd1, recombined), -std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(ccd_log_probability(graph, ccd0, recombined), std::log(1.0 / 11.0));
  const std::vector<CcdSplit> unknown{{9, kNoClade, 3, 0}};
  EXPECT_EQ(ccd_log_probability(graph, ccd0, unknown), -std::numeric_limits<double>::infinity());
}

TEST(Ccd, AMultifurcatingTreeIsAnErrorNamingIt) {
  // tree 2 holds AB alone: its root has three children
  Result<CcdGraph> built = ccd_graph(four_trees({{4, 5}, {4, 8}, {4}}));
  ASSERT_FALSE(built.ok());
  const Error error = std::move(built).take_error();
  EXPECT_EQ(error.tree_index, std::optional<std::uint64_t>{2});
  EXPECT_NE(error.message.find("not binary"), std::string::npos);
}

}  // namespace
}  // namespace cladomatic
