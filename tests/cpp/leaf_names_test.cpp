#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "snapshot/fingerprint.hpp"
#include "snapshot/newick.hpp"

namespace cladomatic {
namespace {

using Names = std::vector<std::string>;

Result<Names> name_list(std::string_view tree0, const TranslateMap& map = {}) {
  Result<Names> names = leaf_names(tree0, map);
  if (!names.ok()) return std::move(names).take_error();
  return sorted_leaf_name_list(std::move(names).value());
}

constexpr std::string_view duplicates = "Tree 0 has duplicate leaf names. All leaf names must be unique.";

TEST(LeafNames, InTextOrderTranslated) {
  EXPECT_EQ(leaf_names("((b:1,a)x,C)[c];", {}).value(), (Names{"b", "a", "C"}));
  TranslateMap map{{"1", "Homo sapiens"}, {"2", "Pan"}};
  EXPECT_EQ(leaf_names("(2,1);", map).value(), (Names{"Pan", "Homo sapiens"}));
  EXPECT_EQ(leaf_names("A;", {}).value(), (Names{"A"}));
}

TEST(LeafNames, SortedByteWise) {
  EXPECT_EQ(name_list("((b,a),C);").value(), (Names{"C", "a", "b"}));
  // Quote before digits before capitals before lower case, a prefix first,
  // non-ASCII after everything ASCII.
  EXPECT_EQ(name_list("(é,z,abc,ab,\"q\",9,Z);").value(), (Names{"\"q\"", "9", "Z", "ab", "abc", "z", "é"}));
  EXPECT_EQ(name_list("(\"A\",A);").value(), (Names{"\"A\"", "A"}));
}

TEST(LeafNames, RepeatedNamesFailOnce) {
  EXPECT_EQ(name_list("(A,B,A);").error(), duplicates);
  EXPECT_EQ(name_list("(A,(B,C),(C,D));").error(), duplicates);
  TranslateMap map{{"1", "Homo"}, {"2", "Homo"}, {"3", "Pan"}};
  EXPECT_EQ(name_list("(1,2,3);", map).error(), duplicates);
}

TEST(LeafNames, MessagesNameTreeZero) {
  TranslateMap map{{"1", "Homo"}};
  EXPECT_EQ(leaf_names("(1,2);", map).error(), "Tree 0 has an unnamed leaf. All leaves must be named.");
  EXPECT_EQ(leaf_names("(A,,B);", {}).error(), "Tree 0 has an unnamed leaf. All leaves must be named.");
  EXPECT_EQ(leaf_names("(A,B)", {}).error(),
            "Failed to parse newick at index 0: the tree does not end in ';'");
  EXPECT_EQ(leaf_names("(A:1x,B);", {}).error(),
            "Failed to parse newick at index 0: invalid branch length \"1x\": invalid float literal");
}

TEST(LeafIndex, FindsExactlyTheNames) {
  Names names;
  for (int i = 0; i < 100000; ++i) names.push_back("taxon_" + std::to_string(i * 7919));
  names.push_back("");
  names.push_back(std::string("nul\0inside", 10));
  LeafIndexMap index(names);
  EXPECT_EQ(index.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) ASSERT_EQ(index.find(names[i]), static_cast<LeafId>(i));
  for (std::string_view absent : {"taxon_", "taxon_1", "taxon_00", "Taxon_0", "nul", "taxon_0 "}) {
    EXPECT_FALSE(index.find(absent).has_value()) << absent;
  }
  EXPECT_FALSE(index.find(std::string_view("nul\0insidE", 10)).has_value());
}

TEST(LeafIndex, SeedChangesHashesButNeverIndices) {
  Names names;
  for (int i = 0; i < 5000; ++i) names.push_back("n" + std::to_string(i));
  LeafIndexMap a(names, 1), b(names, 0x9e3779b97f4a7c15ull);
  std::size_t same_slot = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(a.find(names[i]), static_cast<LeafId>(i));
    ASSERT_EQ(b.find(names[i]), static_cast<LeafId>(i));
    same_slot += (hash_name(names[i], 1) & 0xFFFF) == (hash_name(names[i], 0x9e3779b97f4a7c15ull) & 0xFFFF);
  }
  // Names that share a slot under one seed are scattered under another.
  EXPECT_LT(same_slot, 10u);
}

TEST(LeafIndex, EmptyFindsNothing) {
  LeafIndexMap empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_FALSE(empty.find("").has_value());
  LeafIndexMap from_nothing{Names{}};
  EXPECT_FALSE(from_nothing.find("A").has_value());
}

TEST(Labels, FixedSplitMixStream) {
  std::vector<Key> labels = taxon_labels(3);
  ASSERT_EQ(labels.size(), 3u);
  auto halves = [](Key k) { return std::pair{std::uint64_t(k >> 64), std::uint64_t(k)}; };
  EXPECT_EQ(halves(labels[0]), std::pair(0x2cb0f69f4abea221ull, 0x9417034723148989ull));
  EXPECT_EQ(halves(labels[1]), std::pair(0xdd555950609dfe03ull, 0xdbafb150deb12800ull));
  // A leaf's label depends on its index only, never on n.
  std::vector<Key> more = taxon_labels(1000);
  EXPECT_TRUE(std::equal(labels.begin(), labels.end(), more.begin()));
  std::sort(more.begin(), more.end());
  EXPECT_EQ(std::adjacent_find(more.begin(), more.end()), more.end());
  EXPECT_TRUE(taxon_labels(0).empty());
}

}  // namespace
}  // namespace cladomatic
