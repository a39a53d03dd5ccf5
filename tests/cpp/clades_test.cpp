#include "snapshot/clades.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "snapshot/build.hpp"

namespace cladomatic {
namespace {

using Row = std::vector<LeafId>;

std::vector<Row> rows_of(const CladeTable& t) {
  std::vector<Row> rows;
  for (std::size_t r = 0; r < t.rows(); ++r) rows.emplace_back(t.row(r).begin(), t.row(r).end());
  return rows;
}

TEST(CladeTable, PushSortsEachRow) {
  CladeTable t;
  t.push(Row{5, 2, 9});
  t.push(Row{});
  Row big(100);
  for (LeafId i = 0; i < 100; ++i) big[i] = (i * 37) % 100;
  t.push(big);
  t.push(Row{7, 3}, Row{11, 1});
  std::sort(big.begin(), big.end());
  EXPECT_EQ(rows_of(t), (std::vector<Row>{{2, 5, 9}, {}, big, {1, 3, 7, 11}}));
  EXPECT_EQ(t.offsets[1], t.offsets[2]);
}

TEST(CladeTable, SingletonsAndConcat) {
  EXPECT_EQ(CladeTable::singletons(0).offsets, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(CladeTable::concat({}).offsets, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(rows_of(CladeTable::singletons(3)), (std::vector<Row>{{0}, {1}, {2}}));
  CladeTable second;
  second.push(Row{2, 0});
  std::vector<CladeTable> tables;
  tables.push_back(CladeTable::singletons(2));
  tables.push_back(CladeTable{});
  tables.push_back(std::move(second));
  CladeTable joined = CladeTable::concat(std::move(tables));
  EXPECT_EQ(joined.leaves, (Row{0, 1, 0, 2}));
  EXPECT_EQ(joined.offsets, (std::vector<std::uint32_t>{0, 1, 2, 4}));
}

// The packed form spelled out: one bit per leaf in 64-bit words.
std::vector<std::uint64_t> packed(const Row& row, std::size_t words) {
  std::vector<std::uint64_t> out(words, 0);
  for (LeafId leaf : row) out[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
  return out;
}

TEST(CmpPacked, NamedCases) {
  auto cmp = [](const Row& a, const Row& b) { return cmp_packed(a, b); };
  EXPECT_EQ(cmp({0}, {1}), std::strong_ordering::less);
  EXPECT_EQ(cmp({5}, {64}), std::strong_ordering::greater);
  EXPECT_EQ(cmp({1, 2}, {1, 2, 70}), std::strong_ordering::less);
  EXPECT_EQ(cmp({1, 63}, {2, 63}), std::strong_ordering::less);
  EXPECT_EQ(cmp({}, {0}), std::strong_ordering::less);
  EXPECT_EQ(cmp({}, {}), std::strong_ordering::equal);
  EXPECT_EQ(cmp({3, 64, 200}, {3, 64, 200}), std::strong_ordering::equal);
  EXPECT_EQ(cmp({0, 1}, {1}), std::strong_ordering::greater);
  EXPECT_EQ(cmp({63}, {0, 1, 2, 62}), std::strong_ordering::greater);
}

TEST(CmpPacked, AgreesWithPackedWordsOnRandomRows) {
  std::mt19937_64 rng(3);
  const LeafId n = 200;
  auto random_row = [&](const Row& base) {
    Row row = base;
    // Mostly small edits of a shared base, so long common prefixes occur.
    int edits = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int e = 0; e < edits; ++e) {
      LeafId leaf = std::uniform_int_distribution<LeafId>(0, n - 1)(rng);
      auto at = std::lower_bound(row.begin(), row.end(), leaf);
      if (at != row.end() && *at == leaf) {
        row.erase(at);
      } else {
        row.insert(at, leaf);
      }
    }
    return row;
  };
  for (int round = 0; round < 20000; ++round) {
    Row base;
    for (LeafId i = 0; i < n; ++i) {
      if (rng() % 3 == 0) base.push_back(i);
    }
    Row a = random_row(base), b = random_row(base);
    std::strong_ordering expected = packed(a, 4) <=> packed(b, 4);
    ASSERT_EQ(cmp_packed(a, b), expected);
    ASSERT_EQ(cmp_packed(b, a), 0 <=> expected);
  }
}

TEST(PushCanonical, UnrootedRowIsTheSideWithoutLeafZero) {
  Snapshot snap;
  snap.order = {3, 0, 2, 4, 1};
  Part part{0, 0.0, 1, 2};  // leaves 0 and 2
  CladeTable t;
  push_canonical(snap, part, false, t);
  push_canonical(snap, part, true, t);
  push_canonical(snap, Part{0, 0.0, 1, 1}, false, t);  // pendant of leaf 0
  push_canonical(snap, Part{0, 0.0, 1, 1}, true, t);
  push_canonical(snap, Part{0, 0.0, 2, 3}, false, t);  // no leaf 0: as written
  push_canonical(snap, Part{0, 0.0, 0, 2}, false, t);  // leaf 0 at the end of the range
  EXPECT_EQ(rows_of(t), (std::vector<Row>{{1, 3, 4}, {0, 2}, {0}, {0}, {1, 2, 4}, {1, 2, 4}}));
}

TEST(PushCanonical, RowBeyondTheEntryCapIsRefusedUnallocated) {
  Snapshot snap;
  snap.order = {3, 0, 2, 4, 1};
  CladeTable t;
  // The complement {1, 3, 4} takes three entries, not the part's two.
  EXPECT_FALSE(push_canonical(snap, Part{0, 0.0, 1, 2}, false, t, 2));
  EXPECT_EQ(t.leaves.capacity(), 0u);
  EXPECT_EQ(t.rows(), 0u);
  EXPECT_TRUE(push_canonical(snap, Part{0, 0.0, 1, 2}, false, t, 3));
  EXPECT_FALSE(push_canonical(snap, Part{0, 0.0, 1, 1}, false, t, 3));
  EXPECT_EQ(rows_of(t), (std::vector<Row>{{1, 3, 4}}));
}

}  // namespace
}  // namespace cladomatic
