// Depth costs memory, never stack frames, and no byte sequence crashes,
// hangs or is accepted silently as something else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "newick_fixture.hpp"

namespace cladomatic {
namespace {

constexpr int caterpillar_leaves = 20000;

std::vector<std::string> leaf_list(int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back("L" + std::to_string(i));
  return names;
}

// (L0:1,(L1:1,(L2:1,...)):1):1 nested to the right.
std::string right_caterpillar(int n) {
  std::string text;
  for (int i = 0; i < n - 1; ++i) text += "(L" + std::to_string(i) + ":1,";
  text += "L" + std::to_string(n - 1) + ":1";
  for (int i = 0; i < n - 1; ++i) text += i + 1 < n - 1 ? "):1" : ")";
  return text + ";";
}

// ((((L0,L1):1,L2):1,L3):1 ...) nested to the left.
std::string left_caterpillar(int n) {
  std::string text(n - 1, '(');
  text += "L0,L1)";
  for (int i = 2; i < n; ++i) text += ":1,L" + std::to_string(i) + ")";
  return text + ";";
}

TEST(DeepTrees, CaterpillarsOfTwentyThousandLeaves) {
  const int n = caterpillar_leaves;
  for (bool rooted : {false, true}) {
    auto call = testing::call_for(leaf_list(n), rooted);
    for (const std::string& text : {right_caterpillar(n), left_caterpillar(n)}) {
      Result<std::vector<std::string>> names = leaf_names(text, {});
      ASSERT_TRUE(names.ok()) << names.error();
      EXPECT_EQ(names.value().size(), static_cast<std::size_t>(n));
      Snapshot snap = testing::parse_ok(text, *call);
      // Unrooted: n pendants and the subtrees of 2 .. n-2 leaves; rooted: also
      // the one of n - 1 leaves.
      EXPECT_EQ(snap.parts.size(), static_cast<std::size_t>(rooted ? 2 * n - 2 : 2 * n - 3));
    }
  }
}

TEST(DeepTrees, RightCaterpillarKeepsTheLengthAboveAllButOneLeaf) {
  auto call = testing::call_for(leaf_list(caterpillar_leaves), false);
  Snapshot snap = testing::parse_ok(right_caterpillar(caterpillar_leaves), *call);
  ASSERT_EQ(snap.parts[0].count, 1u);
  EXPECT_EQ(snap.order[snap.parts[0].start], 0u);
  EXPECT_EQ(snap.parts[0].length, 2.0);
}

TEST(DeepTrees, LongSingleChildChainBecomesOneEdge) {
  const int depth = 200000;
  auto call = testing::call_for({"A", "B", "C"}, false);
  std::string text = "(" + std::string(depth, '(') + "A:1";
  for (int i = 0; i < depth; ++i) text += "):1";
  text += ",B,C);";
  Snapshot snap = testing::parse_ok(text, *call);
  ASSERT_EQ(snap.parts.size(), 3u);
  for (const Part& p : snap.parts) {
    if (snap.order[p.start] == 0) {
      EXPECT_EQ(p.length, depth + 1.0);
    }
  }
}

TEST(HostileInput, DeepUnclosedNestingFailsCleanly) {
  auto call = testing::call_for({"A", "B"}, false);
  std::string open(1000000, '(');
  EXPECT_EQ(testing::parse_error(open, *call),
            "Failed to parse newick at index 1: the tree does not end in ';'");
  EXPECT_EQ(testing::parse_error(open + ";", *call),
            "Failed to parse newick at index 1: a '(' is never closed");
  Result<std::vector<std::string>> names = leaf_names(open + "A;", {});
  ASSERT_FALSE(names.ok());
  EXPECT_EQ(names.error(), "Failed to parse newick at index 0: a '(' is never closed");
}

TEST(HostileInput, HugeNumbersAndTokens) {
  auto call = testing::call_for({"A", "B", "C"}, false);
  Snapshot snap =
      testing::parse_ok("(A:" + std::string(100000, '9') + ",B:1e-99999999999999999999,C);", *call);
  EXPECT_EQ(snap.parts[0].length, std::numeric_limits<double>::infinity());
  EXPECT_EQ(snap.parts[1].length, 0.0);
  std::string long_name(1 << 20, 'x');
  EXPECT_EQ(testing::parse_error("(A,B," + long_name + ");", *call),
            "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa.");
  std::string spaced = "(A:1" + std::string(100000, ' ') + "5,B,C);";
  EXPECT_EQ(testing::parse_ok(spaced, *call).parts[0].length, 15.0);
}

TEST(HostileInput, BytesThatAreNotText) {
  using namespace std::literals;
  auto call = testing::call_for({"A\0B"s, "\xff\xfe"s, "C"}, false);
  Snapshot snap = testing::parse_ok("(A\0B,\xff\xfe,C);"sv, *call);
  EXPECT_EQ(snap.order.size(), 3u);
  EXPECT_EQ(testing::parse_error("(A\0B,\xff\xfe,\xff\xfe);"sv, *call),
            "Tree 1 repeats the leaf name \"\\x{ff}\\x{fe}\". All leaf names must be unique.");
  EXPECT_EQ(testing::parse_error("(A\0B:\xc3"
                                 "A,C);"sv,
                                 *call),
            "Failed to parse newick at index 1: invalid branch length \"\\x{c3}A\": invalid float literal");
}

}  // namespace
}  // namespace cladomatic
