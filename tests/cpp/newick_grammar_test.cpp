#include <gtest/gtest.h>

#include "newick_fixture.hpp"
#include "snapshot/quoted.hpp"

namespace cladomatic {
namespace {

using testing::call_from_tree0;
using testing::parse_error;

struct Malformed {
  std::string_view text;
  std::string message;
};

std::string wrapped(std::string_view inner) {
  return "Failed to parse newick at index 1: " + std::string(inner);
}

constexpr const char* unnamed = "Tree 1 has an unnamed leaf. All leaves must be named.";
constexpr const char* other_leaves =
    "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa.";

class MalformedTree : public ::testing::TestWithParam<Malformed> {};

// Every failure is checked with the exact words a caller sees, and both
// readers of a tree must agree on the syntax ones.
TEST_P(MalformedTree, FailsWithItsMessage) {
  const Malformed& m = GetParam();
  auto call = call_from_tree0("(A,B,C,D);", false);
  EXPECT_EQ(parse_error(m.text, *call), m.message) << m.text;
  auto rooted = call_from_tree0("(A,B,C,D);", true);
  EXPECT_EQ(parse_error(m.text, *rooted), m.message) << m.text;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, MalformedTree,
    ::testing::Values(
        Malformed{"", wrapped("the tree does not end in ';'")},
        Malformed{"(A,B,C,D)", wrapped("the tree does not end in ';'")},
        Malformed{"(A,B,C,D)\"x;", wrapped("the tree does not end in ';'")},  // unclosed quote eats the ';'
        Malformed{"(A,B)(C,D);", wrapped("'(' after a finished subtree")},
        Malformed{"(A(B,C),D);", wrapped("'(' after a finished subtree")},
        Malformed{"(A,B,C,D)[never closed;", wrapped("a '[' comment is never closed")},
        Malformed{"(A,B,C,D:[;", wrapped("a '[' comment is never closed")},
        Malformed{"(A,B,C,D;", wrapped("a '(' is never closed")},
        Malformed{"((A,B,C,D);", wrapped("a '(' is never closed")},
        Malformed{"(A,;", wrapped("a '(' is never closed")},  // stack before pending
        Malformed{";", wrapped("the tree is empty")}, Malformed{"[comment] ;", wrapped("the tree is empty")},
        Malformed{"(A,B),C;", wrapped("',' outside any subtree")},
        Malformed{",;", wrapped("',' outside any subtree")},
        Malformed{")A;", wrapped("')' outside any subtree")},
        Malformed{"(A,B,C,D));", wrapped("')' outside any subtree")},
        Malformed{"(A:x,B,C,D);", wrapped("invalid branch length \"x\": invalid float literal")},
        Malformed{"(A:1 B,B,C,D);", wrapped("invalid branch length \"1B\": invalid float literal")},
        Malformed{"(A,B,C,D):x;", wrapped("invalid branch length \"x\": invalid float literal")},
        Malformed{"(A:\"1\",B,C,D);", wrapped("invalid branch length \"\\\"1\\\"\": invalid float literal")},
        Malformed{"(A:0x10,B,C,D);", wrapped("invalid branch length \"0x10\": invalid float literal")},
        Malformed{"(A:1e,B,C,D);", wrapped("invalid branch length \"1e\": invalid float literal")},
        Malformed{"(A:.,B,C,D);", wrapped("invalid branch length \".\": invalid float literal")},
        Malformed{"(A:\x01,B,C,D);", wrapped("invalid branch length \"\\u{1}\": invalid float literal")}));

INSTANTIATE_TEST_SUITE_P(
    Leaves, MalformedTree,
    ::testing::Values(
        Malformed{"(A,,B,C,D);", unnamed}, Malformed{"(,A,B,C,D);", unnamed}, Malformed{"();", unnamed},
        Malformed{":1;", unnamed}, Malformed{"(A,B,C,(D,));", unnamed},
        Malformed{"(A,B,C,D,E);", other_leaves}, Malformed{"(A,B,C);", other_leaves},
        Malformed{"(\"A\",B,C,D);", other_leaves}, Malformed{"(a,B,C,D);", other_leaves},
        Malformed{"A;", other_leaves},
        Malformed{"(A,B,C,D,A);", "Tree 1 repeats the leaf name \"A\". All leaf names must be unique."},
        // The first fault in text order wins.
        Malformed{"(A,B,,C:x);", unnamed}, Malformed{"(A,E,C:x,D);", other_leaves},
        Malformed{"(A,B:x,B);", wrapped("invalid branch length \"x\": invalid float literal")}));

TEST(MalformedTree, NamesTheTreeIndex) {
  auto call = call_from_tree0("(A,B);", false);
  EXPECT_EQ(parse_error("(A,B)", *call, 12345678901234),
            "Failed to parse newick at index 12345678901234: the tree does not end in ';'");
  EXPECT_EQ(parse_error("(A,);", *call, 7), "Tree 7 has an unnamed leaf. All leaves must be named.");
}

TEST(MalformedTree, RepeatedNameIsQuotedAfterTranslation) {
  auto call = testing::call_for({"\"a b\"", "Homo sapiens", "x\ty"}, false);
  EXPECT_EQ(parse_error("(\"a b\",\"a b\",x);", *call),
            "Tree 1 repeats the leaf name \"\\\"a b\\\"\". All leaf names must be unique.");
  TranslateMap map{{"1", "Homo sapiens"}, {"2", "Homo sapiens"}, {"3", "x\ty"}};
  Result<Snapshot> r = snapshot("(1,2,3);", map, 4, call->context);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Tree 4 repeats the leaf name \"Homo sapiens\". All leaf names must be unique.");
}

TEST(MalformedTree, EmptyContextRejectsEveryLeaf) {
  SnapshotContext empty;
  Result<Snapshot> r = snapshot("(A,B);", {}, 2, empty);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Tree 2 has a different leaf set than tree 0. All trees must share the same taxa.");
}

TEST(Quoted, EscapesWhatAMessageCannotShow) {
  struct Case {
    std::string_view text, form;
  };
  using namespace std::string_view_literals;
  for (Case c : {Case{"plain", "\"plain\""},
                 {"a\"b\\c", "\"a\\\"b\\\\c\""},
                 {"\t\r\n", "\"\\t\\r\\n\""},
                 {"x\0y"sv, "\"x\\0y\""},
                 {"\x01\x1f\x7f\v", "\"\\u{1}\\u{1f}\\u{7f}\\u{b}\""},
                 {"it's Zoë 日本", "\"it's Zoë 日本\""},
                 {"a\u200bb\u0085", "\"a\\u{200b}b\\u{85}\""},
                 {"\xff", "\"\\x{ff}\""},
                 {"\xc3", "\"\\x{c3}\""},
                 {"\xc0\xaf", "\"\\x{c0}\\x{af}\""},
                 {"\xed\xa0\x80", "\"\\x{ed}\\x{a0}\\x{80}\""},
                 {"\xf4\x90\x80\x80", "\"\\x{f4}\\x{90}\\x{80}\\x{80}\""},
                 {"\xf0\x9f\x8c\xb3", "\"\xf0\x9f\x8c\xb3\""},
                 {"", "\"\""}}) {
    EXPECT_EQ(quoted(c.text), c.form);
  }
}

}  // namespace
}  // namespace cladomatic
