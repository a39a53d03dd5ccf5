#include "snapshot/token.hpp"

#include <gtest/gtest.h>

namespace cladomatic {
namespace {

struct TokenCase {
  std::string_view input;
  std::size_t start;
  std::string_view text;
  std::size_t stop;
  bool is_view;
};

class TokenCut : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenCut, TextStopAndForm) {
  const TokenCase& c = GetParam();
  Token t = token(c.input, c.start);
  EXPECT_EQ(t.text(), c.text);
  EXPECT_EQ(t.stop, c.stop);
  EXPECT_EQ(!t.is_cleaned, c.is_view);
  if (!t.is_cleaned && !t.view.empty()) {
    // A view points into the input, not at a copy.
    EXPECT_GE(t.view.data(), c.input.data());
    EXPECT_LE(t.view.data() + t.view.size(), c.input.data() + c.input.size());
  }
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenCut,
    ::testing::Values(TokenCase{"(A,B);", 0, "", 0, true},       // at a delimiter
                      TokenCase{"AB", 2, "", 2, true},           // at the end
                      TokenCase{"(Abc,B);", 1, "Abc", 4, true},  // plain label
                      TokenCase{"A  ,B", 0, "A", 3, true},       // trailing spaces cut, stop at comma
                      TokenCase{"A \t\r\n", 0, "A", 5, true},    // trailing whitespace at the end of input
                      TokenCase{"Homo sapiens,", 0, "Homosapiens", 12, false},
                      TokenCase{"A\"B,C\"D,E", 0, "A\"B,C\"D", 7,
                                false},                               // quoted comma belongs to the token
                      TokenCase{"\"A B\";", 0, "\"A B\"", 5, false},  // quotes and inner space kept
                      TokenCase{"\"unclosed;(A,B);", 0, "\"unclosed;(A,B);", 16, false},
                      TokenCase{"a\vb,", 0, "a\vb", 3, true},  // vertical tab is label text
                      TokenCase{"a\tb\nc\fd\re,", 0, "abcde", 9, false},
                      TokenCase{"Zoë_ß,", 0, "Zoë_ß", 7, true},             // multi-byte UTF-8 untouched
                      TokenCase{"'my taxon',", 0, "'mytaxon'", 10, false},  // apostrophes are ordinary
                      TokenCase{"1. 5)", 0, "1.5", 4, false},
                      TokenCase{"A]B", 0, "A", 1, true},  // the closing bracket delimits too
                      TokenCase{"A[x]", 0, "A", 1, true},
                      TokenCase{"a\"b c\" d\"e f\";", 0, "a\"b c\"d\"e f\"", 13, false},
                      TokenCase{"x\0y,"sv, 0, "x\0y"sv, 3, true}));  // NUL is label text

}  // namespace
}  // namespace cladomatic
