#include "snapshot/export.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cstring>
#include <map>
#include <random>

#include "hand_trees.hpp"
#include "owned_results.hpp"

namespace cladomatic {
namespace {

using testing::build_bipartition_bytes;
using testing::build_branch_length_matrix;
using testing::build_presence_matrix;
using testing::ExportMatrix;
using Row = std::vector<LeafId>;

Snapshots intern_trees(const std::vector<Snapshot>& trees, std::uint32_t n, bool rooted, std::size_t chunk) {
  Interner interner(InternerOptions{
      .n_leaves = n, .row_words = (n + 63) / 64, .rooted = rooted, .weighted = true, .keep_clades = true});
  for (std::size_t first = 0; first < trees.size(); first += chunk) {
    std::size_t last = std::min(trees.size(), first + chunk);
    EXPECT_FALSE(interner.push_chunk(std::vector<Snapshot>(trees.begin() + first, trees.begin() + last)));
  }
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < n; ++i) names.push_back("t" + std::to_string(100 + i));
  return std::move(interner).finish(std::move(names));
}

std::vector<Snapshot> random_trees(std::uint32_t n, std::size_t count, bool rooted, std::uint64_t seed) {
  std::vector<Key> labels = testing::random_labels(n, seed);
  std::mt19937_64 rng(seed);
  std::vector<Snapshot> trees;
  for (std::size_t t = 0; t < count; ++t) trees.push_back(testing::random_tree(n, rooted, labels, rng));
  return trees;
}

// Each tree's edges by the leaves on their shown side, with their lengths.
std::map<Row, double> edges_of(const Snapshot& tree, bool rooted) {
  std::map<Row, double> edges;
  for (const Part& part : tree.parts) edges[testing::canonical_side(tree, part, rooted)] = part.length;
  return edges;
}

std::vector<Row> decode_rows(const std::vector<std::uint8_t>& bytes, std::size_t n_rows, std::uint32_t n) {
  std::size_t stride = (n + 7) / 8;
  EXPECT_EQ(bytes.size(), n_rows * stride);
  std::vector<Row> rows(n_rows);
  for (std::size_t j = 0; j < n_rows; ++j) {
    for (std::uint32_t i = 0; i < stride * 8; ++i) {
      if (bytes[j * stride + i / 8] >> (i % 8) & 1) rows[j].push_back(i);
    }
  }
  return rows;
}

double cell(const std::vector<std::uint8_t>& bytes, std::size_t index) {
  double value;
  std::memcpy(&value, bytes.data() + index * sizeof(double), sizeof(double));
  return value;
}

TEST(Exports, ColumnsFollowThePackedRowOrder) {
  std::vector<Key> labels = testing::random_labels(4, 1);
  // ((0,1),(2,3)) written with leaves in index order.
  Snapshot quartet = testing::make_snapshot(
      {0, 1, 2, 3}, {{0, 1, 1}, {1, 1, 1}, {0, 2, 1}, {2, 1, 1}, {3, 1, 1}, {2, 2, 1}}, false, labels);
  Snapshots unrooted = intern_trees({quartet}, 4, false, 1);
  ExportMatrix presence = build_presence_matrix(unrooted);
  EXPECT_EQ(decode_rows(build_bipartition_bytes(unrooted, presence.columns), 5, 4),
            (std::vector<Row>{{0}, {1}, {2}, {3}, {2, 3}}));

  Snapshot rooted_quartet = testing::make_snapshot(
      {0, 1, 2, 3}, {{0, 1, 1}, {1, 1, 1}, {0, 2, 1}, {2, 1, 1}, {3, 1, 1}, {2, 2, 1}}, true, labels);
  Snapshots rooted = intern_trees({rooted_quartet}, 4, true, 1);
  ColumnOrder order = column_order(rooted);
  std::vector<Row> shown;
  for (std::uint64_t id : order.columns)
    shown.emplace_back(rooted.clades.row(id).begin(), rooted.clades.row(id).end());
  EXPECT_EQ(shown, (std::vector<Row>{{0}, {1}, {0, 1}, {2}, {3}, {2, 3}}));
  for (std::size_t j = 0; j < order.columns.size(); ++j)
    EXPECT_EQ(order.export_column_of[order.columns[j]], j);
}

TEST(Exports, MatricesAgreeWithTheTreesEdges) {
  const std::uint32_t n = 9;
  for (bool rooted : {false, true}) {
    SCOPED_TRACE(rooted ? "rooted" : "unrooted");
    std::vector<Snapshot> trees = random_trees(n, 25, rooted, 3);
    trees.push_back(trees[4]);
    Snapshots set = intern_trees(trees, n, rooted, 8);
    const std::size_t n_bip = set.freq.size();

    ExportMatrix presence = build_presence_matrix(set);
    ExportMatrix lengths = build_branch_length_matrix(set);
    EXPECT_EQ(lengths.columns, presence.columns);
    std::vector<std::uint8_t> bip = build_bipartition_bytes(set, presence.columns);
    // 9 leaves: two bytes per row, the second holding only leaf 8.
    ASSERT_EQ(bip.size(), n_bip * 2);
    for (std::size_t j = 0; j < n_bip; ++j)
      EXPECT_EQ(bip[j * 2 + 1] & 0xFE, 0) << "padding bits set in row " << j;
    std::vector<Row> rows = decode_rows(bip, n_bip, n);

    ASSERT_EQ(presence.bytes.size(), trees.size() * n_bip);
    ASSERT_EQ(lengths.bytes.size(), trees.size() * n_bip * sizeof(double));
    for (std::size_t t = 0; t < trees.size(); ++t) {
      std::map<Row, double> edges = edges_of(trees[t], rooted);
      std::size_t present = 0;
      for (std::size_t j = 0; j < n_bip; ++j) {
        auto edge = edges.find(rows[j]);
        bool has = edge != edges.end();
        present += has;
        EXPECT_EQ(presence.bytes[t * n_bip + j], has ? 1 : 0) << "tree " << t << " column " << j;
        EXPECT_EQ(cell(lengths.bytes, t * n_bip + j), has ? edge->second : 0.0);
      }
      EXPECT_EQ(present, edges.size()) << "an edge of tree " << t << " has no column";
    }
    if (!rooted) {
      for (std::size_t j = 1; j < n_bip; ++j)
        EXPECT_NE(rows[j].front(), 0u) << "row " << j << " holds leaf 0";
      EXPECT_EQ(rows[0], Row{0});
    }
  }
}

TEST(Exports, IdenticalTreesArePresentEverywhere) {
  std::vector<Snapshot> trees(6, random_trees(12, 1, false, 9)[0]);
  ExportMatrix presence = build_presence_matrix(intern_trees(trees, 12, false, 4));
  EXPECT_EQ(presence.bytes, std::vector<std::uint8_t>(presence.bytes.size(), 1));
  EXPECT_EQ(presence.columns.size(), 12u + 9u);
}

TEST(Exports, BytesDoNotDependOnThreadsOrChunking) {
  std::vector<Snapshot> trees = random_trees(70, 60, false, 21);
  auto all_bytes = [&trees](std::size_t chunk) {
    Snapshots set = intern_trees(trees, 70, false, chunk);
    ExportMatrix presence = build_presence_matrix(set);
    ExportMatrix lengths = build_branch_length_matrix(set);
    std::vector<std::uint8_t> bip = build_bipartition_bytes(set, presence.columns);
    return std::make_tuple(presence.bytes, lengths.bytes, bip);
  };
  auto reference = all_bytes(trees.size());
  EXPECT_EQ(all_bytes(7), reference);
  tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
  EXPECT_EQ(all_bytes(5), reference);
}

TEST(Exports, SetsWithoutCladeRowsExportNothing) {
  std::vector<Snapshot> trees = random_trees(5, 3, false, 2);
  Interner interner(InternerOptions{.n_leaves = 5, .row_words = 1, .weighted = true});
  ASSERT_FALSE(interner.push_chunk(std::vector<Snapshot>(trees)));
  Snapshots set = std::move(interner).finish({"a", "b", "c", "d", "e"});
  ExportMatrix presence = build_presence_matrix(set);
  EXPECT_TRUE(presence.bytes.empty());
  EXPECT_TRUE(presence.columns.empty());
  EXPECT_TRUE(build_branch_length_matrix(set).bytes.empty());
  EXPECT_TRUE(build_bipartition_bytes(set, presence.columns).empty());
  EXPECT_TRUE(build_presence_matrix(Snapshots{}).bytes.empty());
}

}  // namespace
}  // namespace cladomatic
