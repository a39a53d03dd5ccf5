#include "distances/layout.hpp"

#include <gtest/gtest.h>

#include "distances/postings.hpp"

namespace cladomatic {
namespace {

TEST(AssignColumns, OrdersByTreeCountThenIdAndCutsAtTheThreshold) {
  // ids:             0  1  2  3  4  5  6  7
  const std::vector<std::uint32_t> freq{5, 2, 3, 1, 3, 4, 2, 5};
  const ColumnMap map = assign_columns(freq, 5, Eligible{2, 4}, 3);
  EXPECT_EQ(map.column_of, (std::vector<std::uint32_t>{kNoColumn, 3, 1, kNoColumn, 2, 0, 4, kNoColumn}));
  EXPECT_EQ(map.n_columns, 5u);
  EXPECT_EQ(map.n_dense, 3u);
  EXPECT_EQ(assign_columns(freq, 5, Eligible{2, 5}, 6).n_dense, 0u);
  EXPECT_EQ(assign_columns(freq, 5, Eligible{2, 5}, 2).n_dense, 7u);
  EXPECT_THROW(assign_columns(freq, 4, Eligible{2, 3}, 2), InvariantFailure);
}

TEST(BlockShift, FourTreesPerThreadRoundedDownToAPowerOfTwo) {
  EXPECT_EQ(block_shift(0), 2u);
  EXPECT_EQ(block_shift(1), 2u);
  EXPECT_EQ(block_shift(6), 4u);
  EXPECT_EQ(block_shift(8), 5u);
}

TEST(RfRow, SetsDenseBitsSortsRareSplitsAndCountsSplitsNotEverywhere) {
  ColumnMap map;
  // split id -> column: 0 dense col 0, 1 none, 2 sparse 1, 3 dense col 65, 4 sparse 0
  map.column_of = {0, kNoColumn, 67, 65, 66};
  map.n_dense = 66;
  map.n_columns = 68;
  InternSnap snap{.ids = {4, 3, 2}, .lengths = {}, .n_pendant = 2};
  std::vector<std::uint64_t> row(2, 0);
  SparseRow sparse;
  EXPECT_EQ(rf_row(snap, map, 1, row, sparse), 4u);
  EXPECT_EQ(row[0], 1u);
  EXPECT_EQ(row[1], 2u);
  ASSERT_EQ(sparse.size(), 2u);
  EXPECT_EQ(sparse[0].index, 0u);
  EXPECT_EQ(sparse[1].index, 1u);
  snap.ids.push_back(9);
  EXPECT_THROW(rf_row(snap, map, 1, row, sparse), InvariantFailure);
}

TEST(Postings, InvertedListsAscendAndLaterTreesStartAfterTheTree) {
  ColumnMap map;
  map.column_of = {0, 1, 2};  // one dense column, sparse indices 0 and 1
  map.n_dense = 1;
  map.n_columns = 3;
  const std::vector<std::uint32_t> freq{9, 3, 2};
  PostingsBuilder builder = postings_builder(freq, map, 5, 1, true);
  EXPECT_EQ(builder.postings.starts, (std::vector<std::uint64_t>{0, 3, 5}));
  const std::vector<SparseRow> block0{{{0, 1.5}}, {{0, 2.5}, {1, 3.5}}};
  const std::vector<SparseRow> block1{{}, {{0, 4.5}, {1, 5.5}}};
  const std::vector<SparseRow> block2{{}};
  push_block(builder, block0);
  push_block(builder, block1);
  push_block(builder, block2);
  const Postings postings = finish(std::move(builder));
  EXPECT_EQ(postings.docs, (std::vector<std::uint32_t>{0, 1, 3, 1, 3}));
  EXPECT_EQ(postings.vals, (std::vector<double>{1.5, 2.5, 4.5, 3.5, 5.5}));
  ASSERT_EQ(postings.blocks.size(), 3u);
  EXPECT_EQ(postings.blocks[1].row_starts, (std::vector<std::uint64_t>{0, 0, 2}));

  const PostingSpan row3 = forward_row(postings, 3);
  EXPECT_EQ(std::vector<std::uint32_t>(row3.trees.begin(), row3.trees.end()),
            (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(row3.vals[1], 5.5);
  EXPECT_TRUE(forward_row(postings, 4).trees.empty());
  const PostingSpan after1 = later_trees(postings, 0, 1);
  EXPECT_EQ(std::vector<std::uint32_t>(after1.trees.begin(), after1.trees.end()),
            (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(after1.vals[0], 4.5);
  EXPECT_TRUE(later_trees(postings, 1, 3).trees.empty());
}

TEST(Postings, ATreeCountThatDisagreesWithTheRowsIsAnInvariantFailure) {
  ColumnMap map;
  map.column_of = {0};
  map.n_columns = 1;
  const std::vector<std::uint32_t> freq{1};
  PostingsBuilder twice = postings_builder(freq, map, 2, 2, false);
  const std::vector<SparseRow> rows{{{0, 0.0}}, {{0, 0.0}}};
  EXPECT_THROW(push_block(twice, rows), InvariantFailure);
  PostingsBuilder never = postings_builder(freq, map, 2, 2, false);
  push_block(never, std::vector<SparseRow>{{}, {}});
  EXPECT_THROW(finish(std::move(never)), InvariantFailure);
}

TEST(LayOut, OwnedTreesAreReleasedAndRowsLandInTreeOrder) {
  Snapshots set;
  for (std::uint32_t t = 0; t < 9; ++t)
    set.snaps.push_back(InternSnap{.ids = {t % 3}, .lengths = {}, .n_pendant = 0});
  set.freq = {3, 3, 3};
  Input input = Input::owning(std::move(set));
  ColumnMap map;
  map.column_of = {0, 1, 2};
  map.n_dense = 1;
  map.n_columns = 3;
  PostingsBuilder builder = postings_builder(input.freq(), map, 9, 1, false);
  std::vector<std::uint32_t> self;
  DenseRows<std::uint64_t> rows;
  const auto build = [&](const InternSnap& snap, std::span<std::uint64_t> row, SparseRow& sparse) {
    return rf_row(snap, map, 0, row, sparse);
  };
  lay_out(input, 1, 1, build, builder, self, rows);
  EXPECT_EQ(input.size(), 9u);
  EXPECT_TRUE(input.snaps().empty());
  EXPECT_EQ(rows.data, (std::vector<std::uint64_t>{1, 0, 0, 1, 0, 0, 1, 0, 0}));
  EXPECT_EQ(self, std::vector<std::uint32_t>(9, 1));
  const Postings postings = finish(std::move(builder));
  EXPECT_EQ(postings.docs, (std::vector<std::uint32_t>{1, 4, 7, 2, 5, 8}));
  EXPECT_EQ(postings.blocks.size(), 5u);
}

}  // namespace
}  // namespace cladomatic
