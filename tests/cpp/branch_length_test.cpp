#include "snapshot/branch_length.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

namespace cladomatic {
namespace {

std::optional<double> length_of(std::string_view text) {
  double value;
  if (!parse_branch_length(text, value)) return std::nullopt;
  return value;
}

TEST(BranchLength, AcceptsTheDecimalForms) {
  struct Case {
    const char* text;
    double value;
  };
  for (Case c : {Case{"1", 1.0},
                 {"-1", -1.0},
                 {"+2.", 2.0},
                 {".5", 0.5},
                 {"1e-3", 1e-3},
                 {"1E+3", 1e3},
                 {"0.1", 0.1},
                 {"-0", -0.0},
                 {"007", 7.0},
                 {"2.5e0", 2.5},
                 {"1e-310", 1e-310},
                 {"4.9e-324", 4.9e-324},
                 {"1.7976931348623157e308", 1.7976931348623157e308}}) {
    std::optional<double> v = length_of(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
    EXPECT_EQ(std::signbit(*v), std::signbit(c.value)) << c.text;
  }
}

TEST(BranchLength, WordsInAnyCaseWithSign) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(length_of("inf"), inf);
  EXPECT_EQ(length_of("-Infinity"), -inf);
  EXPECT_EQ(length_of("+INF"), inf);
  EXPECT_EQ(length_of("iNfInItY"), inf);
  for (const char* nan : {"nan", "NaN", "-NAN", "+nAn"}) {
    std::optional<double> v = length_of(nan);
    ASSERT_TRUE(v.has_value()) << nan;
    EXPECT_TRUE(std::isnan(*v)) << nan;
  }
}

TEST(BranchLength, OutOfRangeSaturatesWithoutError) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(length_of("1e400"), inf);
  EXPECT_EQ(length_of("-1e400"), -inf);
  EXPECT_EQ(length_of("1.7976931348623159e308"), inf);
  EXPECT_EQ(length_of("1e99999999999999999999999999"), inf);
  EXPECT_EQ(length_of("1e-400"), 0.0);
  EXPECT_EQ(length_of("2.4e-324"), 0.0);
  std::optional<double> tiny = length_of("-1e-99999999999999999999999");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(*tiny, 0.0);
  EXPECT_TRUE(std::signbit(*tiny));
  // Leading zeros and a far exponent must not be mistaken for overflow.
  EXPECT_EQ(length_of(std::string(5000, '0') + "1e-330"), 0.0);
  EXPECT_EQ(length_of("0." + std::string(400, '0') + "1e800"), inf);
  EXPECT_EQ(length_of("0e999999999999"), 0.0);
  EXPECT_EQ(length_of("1" + std::string(400, '0')), inf);
}

TEST(BranchLength, RejectsEverythingElse) {
  for (const char* bad :
       {"",      "+",     "-",   ".",       "+.",        "1e",     "1e+",   "e5",    ".e1", "0x10",
        "1.2.3", "1_000", "1,5", "infinit", "infinityy", "nan(1)", "--1",   "+-1",   "1-",  "1e5.0",
        "1 5",   " 1",    "1f",  "١",       "∞",         "'1'",    "\"1\"", "1e1e1", "inf1"}) {
    EXPECT_FALSE(length_of(bad).has_value()) << bad;
  }
}

// glibc's strtod rounds correctly, so it is an independent oracle for the
// rounding of long and extreme decimal texts.
TEST(BranchLength, RoundsLikeACorrectlyRoundedOracle) {
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<int> digit(0, 9), length(1, 40), exponent(-340, 330);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    int digits = length(rng);
    int point = std::uniform_int_distribution<int>(0, digits)(rng);
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + digit(rng));
    }
    if (i % 2) text += "e" + std::to_string(exponent(rng));
    std::optional<double> v = length_of(text);
    ASSERT_TRUE(v.has_value()) << text;
    double expected = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(*v, expected) << text;
  }
}

TEST(BranchLength, ShortestRoundTripIsExact) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    std::optional<double> v = length_of(buf);
    ASSERT_TRUE(v.has_value()) << buf;
    EXPECT_EQ(std::memcmp(&*v, &x, sizeof x), 0) << buf;
  }
}

}  // namespace
}  // namespace cladomatic
