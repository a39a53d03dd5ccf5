#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "newick_fixture.hpp"

namespace cladomatic {
namespace {

using testing::Call;
using testing::call_from_tree0;
using testing::parse_ok;

// A part as its leaves written in the text (names joined) and its length:
// "CD:2" is the edge above the subtree holding C and D.
std::vector<std::string> described(const Snapshot& snap, const Call& call) {
  std::vector<std::string> out;
  for (const Part& p : snap.parts) {
    std::vector<std::string> side;
    for (std::uint32_t i = p.start; i < p.start + p.count; ++i) side.push_back(call.names[snap.order[i]]);
    std::sort(side.begin(), side.end());
    std::string text;
    for (const std::string& s : side) text += s;
    char length[32];
    std::snprintf(length, sizeof length, ":%g", p.length);
    out.push_back(text + length);
  }
  return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

struct Shape {
  std::string_view tree0;
  std::string_view text;
  bool rooted;
  std::vector<std::string> parts;  // in the order `snapshot` gives them
};

class TreeShape : public ::testing::TestWithParam<Shape> {};

TEST_P(TreeShape, GivesTheseParts) {
  const Shape& s = GetParam();
  auto call = call_from_tree0(s.tree0, s.rooted);
  Snapshot snap = parse_ok(s.text, *call);
  EXPECT_EQ(described(snap, *call), s.parts) << s.text;
  EXPECT_EQ(snap.order.size(), call->names.size());
}

// Completion order where no node has a single child.
INSTANTIATE_TEST_SUITE_P(
    Postorder, TreeShape,
    ::testing::Values(
        Shape{"A;", "A;", false, {}}, Shape{"A;", "A:4;", true, {}},
        Shape{"(A,B,C,D);", "((A:1,B:2):3,(C:4,D:5):6);", false, {"A:1", "B:2", "AB:9", "C:4", "D:5"}},
        Shape{"(A,B,C,D);", "((A:1,B:2):3,(C:4,D:5):6);", true, {"A:1", "B:2", "AB:3", "C:4", "D:5", "CD:6"}},
        Shape{"(A,B,C,D);", "(A:1,B:2,(C:3,D:4):5);", false, {"A:1", "B:2", "C:3", "D:4", "CD:5"}},
        Shape{"(A,B);", "(A:1,B:2):5;", false, {"A:1", "B:2"}},
        Shape{"(A,B);", "(A:1,B:2):5;", true, {"A:1", "B:2"}},
        Shape{"(A,B,C,D);", "((A,B)90:0.5,C,D)root;", false, {"A:0", "B:0", "AB:0.5", "C:0", "D:0"}},
        Shape{"(A,B,C,D);", "(A:,B:1:2,C:[c]3,D : 1. 5);", false, {"A:0", "B:2", "C:3", "D:1.5"}},
        Shape{"(A,B,C,D);",
              " [a] ( A [b] , B ] , C,\n D\t) [c] ; (((garbage",
              false,
              {"A:0", "B:0", "C:0", "D:0"}},
        Shape{"(A,B,C,D);", "(B:2,A:1,D:4,C:3);", true, {"B:2", "A:1", "D:4", "C:3"}}));

// The edge above a subtree of n - 1 leaves is the pendant edge of the one
// leaf outside it; its length must not be lost.
INSTANTIATE_TEST_SUITE_P(
    EdgeAboveAllButOneLeaf, TreeShape,
    ::testing::Values(
        Shape{"(A,B,C,D);", "(A:1,(B:1,C:1,D:1):2);", false, {"A:3", "B:1", "C:1", "D:1"}},
        Shape{"(A,B,C,D);", "((B:1,C:1,D:1):2,A:1);", false, {"B:1", "C:1", "D:1", "A:3"}},
        Shape{"(A,B,C,D);", "(A:1,(B:1,(C:1,D:1):4):2);", false, {"A:3", "B:1", "C:1", "D:1", "CD:4"}},
        Shape{"(A,B,C);", "(A:1,(B:1,C:1):2);", false, {"A:3", "B:1", "C:1"}},
        Shape{"(A,B,C,D);", "(A:1,(B:1,C:1,D:1):2);", true, {"A:1", "B:1", "C:1", "D:1", "BCD:2"}}));

TEST(EdgeAboveAllButOneLeaf, SameAsThePendantWrittenWhole) {
  auto call = call_from_tree0("(A,B,C,D);", false);
  Snapshot split = parse_ok("(A:1,(B:1,C:1,D:1):2);", *call);
  Snapshot whole = parse_ok("(A:3,B:1,C:1,D:1);", *call);
  ASSERT_EQ(split.parts.size(), whole.parts.size());
  for (std::size_t i = 0; i < split.parts.size(); ++i) {
    EXPECT_EQ(split.parts[i].key, whole.parts[i].key);
    EXPECT_EQ(split.parts[i].length, whole.parts[i].length);
    EXPECT_EQ(split.parts[i].count, whole.parts[i].count);
  }
}

TEST(EdgeAboveAllButOneLeaf, ReachesTheLeafThroughSingleChildNodes) {
  auto call = call_from_tree0("(A,B,C,D);", false);
  EXPECT_EQ(sorted(described(parse_ok("((A:1):1,(B,C,D):2);", *call), *call)),
            sorted({"A:4", "B:0", "C:0", "D:0"}));
  EXPECT_EQ(sorted(described(parse_ok("(A:1,((B,C,D):2):3);", *call), *call)),
            sorted({"A:6", "B:0", "C:0", "D:0"}));
  // A chain hanging off the root holds every leaf: no edge, nothing to add.
  EXPECT_EQ(sorted(described(parse_ok("(((B,C,D):2,A:1):5);", *call), *call)),
            sorted({"A:3", "B:0", "C:0", "D:0"}));
}

// Single-child nodes: the chain's edges become one.
INSTANTIATE_TEST_SUITE_P(
    SingleChild, TreeShape,
    ::testing::Values(
        Shape{"(A,B,C);", "((A:1,B:2,C:3):4);", true, {"A:1", "B:2", "C:3"}},
        Shape{"(A,B,C,D);", "(((A:1,B:2):3):4,C:5,D:6);", true, {"A:1", "B:2", "AB:7", "C:5", "D:6"}},
        Shape{"(A,B,C,D);", "(((A:1):2):4,B,C,D);", true, {"A:7", "B:0", "C:0", "D:0"}}));

TEST(SingleChild, UnrootedPartsAreSortedByKeyAndMerged) {
  auto call = call_from_tree0("(A,B,C);", false);
  Snapshot snap = parse_ok("((A:1,B:2,C:3):4);", *call);
  ASSERT_EQ(snap.parts.size(), 3u);
  EXPECT_TRUE(std::is_sorted(snap.parts.begin(), snap.parts.end(),
                             [](const Part& a, const Part& b) { return a.key < b.key; }));
  EXPECT_EQ(sorted(described(snap, *call)), sorted({"A:1", "B:2", "C:3"}));

  auto four = call_from_tree0("(A,B,C,D);", false);
  EXPECT_EQ(sorted(described(parse_ok("((A:1):2,B,C,D);", *four), *four)),
            sorted({"A:3", "B:0", "C:0", "D:0"}));
  // Both halves of the root edge and a chain above one of them: one edge,
  // kept as the first of its run in text order.
  EXPECT_EQ(sorted(described(parse_ok("(((A,B):1):2,(C,D):4);", *four), *four)),
            sorted({"A:0", "B:0", "AB:7", "C:0", "D:0"}));

  // Two leaves: the subtree of both is no edge at all.
  auto two = call_from_tree0("(A,B);", false);
  EXPECT_EQ(sorted(described(parse_ok("((A:1,B:2):3);", *two), *two)), sorted({"A:1", "B:2"}));
}

TEST(RootEdge, HalvesMergeOnlyForADegreeTwoRoot) {
  auto call = call_from_tree0("(A,B,C,D,E,F);", false);
  // Both halves carry the same bipartition, whichever side the key names.
  Snapshot two = parse_ok("((A,B,C):1.5,(D,E,F):2.25);", *call);
  EXPECT_EQ(described(two, *call),
            (std::vector<std::string>{"A:0", "B:0", "C:0", "ABC:3.75", "D:0", "E:0", "F:0"}));
  Snapshot three = parse_ok("((A,B):1,(C,D):2,(E,F):3);", *call);
  EXPECT_EQ(described(three, *call),
            (std::vector<std::string>{"A:0", "B:0", "AB:1", "C:0", "D:0", "CD:2", "E:0", "F:0", "EF:3"}));
}

// Keys identify bipartitions: the canonical key is the smaller of a side's key
// and its complement's, so every way of writing a split agrees.
TEST(CanonicalKeys, AgreeAcrossWritings) {
  auto call = call_from_tree0("(A,B,C,D);", false);
  const std::vector<Key>& l = call->context.labels;
  Key ab = l[0] ^ l[1], cd = l[2] ^ l[3];
  Key expected = std::min(ab, cd);
  for (std::string_view text :
       {"((A,B),(C,D));", "((C,D),A,B);", "(A,B,(C,D));", "((B,A),D,C);", "(((D,C)),B,A);"}) {
    Snapshot snap = parse_ok(text, *call);
    ASSERT_EQ(snap.parts.size(), 5u) << text;
    int internal = 0;
    for (const Part& p : snap.parts) {
      if (p.count == 1) {
        EXPECT_EQ(p.key, l[snap.order[p.start]]) << text;
      } else {
        ++internal;
        EXPECT_EQ(p.key, expected) << text;
      }
    }
    EXPECT_EQ(internal, 1) << text;
  }
}

TEST(TranslateMap, NamesLeavesByTheMappedTaxon) {
  auto call = testing::call_for({"Bos", "Equus", "Homo"}, false);
  TranslateMap map{{"1", "Homo"}, {"2", "Bos"}, {"3", "Equus"}};
  Result<Snapshot> r = snapshot("(1,(2,3));", map, 0, call->context);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().order, (std::vector<LeafId>{2, 0, 1}));
  Result<Snapshot> missing = snapshot("(1,(2,4));", map, 3, call->context);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "Tree 3 has an unnamed leaf. All leaves must be named.");
  // Without a map the label itself must be a name of tree 0.
  Result<Snapshot> unmapped = snapshot("(1,(2,3));", {}, 3, call->context);
  ASSERT_FALSE(unmapped.ok());
  EXPECT_EQ(unmapped.error(),
            "Tree 3 has a different leaf set than tree 0. All trees must share the same taxa.");
}

TEST(TranslateMap, NumberedLabelsResolvedOnceGiveWhatTheMapGives) {
  auto call = testing::call_for({"Bos", "Equus", "Homo", "Pan", "12"}, false);
  // Numbers, a full name, a name that is a number itself, a key with a
  // leading zero, a number whose taxon is not a leaf, a key far past the rest.
  TranslateMap map{{"1", "Homo"}, {"2", "Bos"},  {"3", "Equus"}, {"Pan", "Pan"},
                   {"12", "12"},  {"04", "Pan"}, {"5", "Mus"},   {"9999", "Bos"}};
  const NumberedLabels numbered = numbered_labels(map, call->context);
  for (std::string_view text :
       {"(1,(2,3),(Pan,12));", "(1,(2,3),(04,12));", "(1,(2,3),(9999,Pan));", "(1,(2,3),(5,12));",
        "(1,(2,3),(4,12));", "(1,(2,1),(Pan,12));", "(1,(2,3),(Pan,Homo));", "(01,(2,3),(Pan,12));",
        "(1234567,(2,3),(Pan,12));", "(0,(2,3),(Pan,12));"}) {
    const Result<Snapshot> by_map = snapshot(text, map, 4, call->context);
    const Result<Snapshot> by_number = snapshot(text, map, 4, call->context, &numbered);
    ASSERT_EQ(by_number.ok(), by_map.ok()) << text;
    if (!by_map.ok()) {
      EXPECT_EQ(by_number.error(), by_map.error()) << text;
      continue;
    }
    EXPECT_EQ(by_number.value().order, by_map.value().order) << text;
    ASSERT_EQ(by_number.value().parts.size(), by_map.value().parts.size()) << text;
    for (std::size_t i = 0; i < by_map.value().parts.size(); ++i)
      EXPECT_EQ(by_number.value().parts[i].key, by_map.value().parts[i].key) << text;
  }
  EXPECT_EQ(numbered.leaf_of.size(), 13u);  // 9999 lies past the table's bound and takes the map
}

TEST(Labels, QuotesAndBracketsInsideQuotesArePartOfTheName) {
  auto call = call_from_tree0("(\"x[y\",\"a,b\",c);", false);
  EXPECT_EQ(call->names, (std::vector<std::string>{"\"a,b\"", "\"x[y\"", "c"}));
  Snapshot snap = parse_ok("(c,\"a,b\" , \"x[y\");", *call);
  EXPECT_EQ(snap.order, (std::vector<LeafId>{2, 0, 1}));
}

}  // namespace
}  // namespace cladomatic
