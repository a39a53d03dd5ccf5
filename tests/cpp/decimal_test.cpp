#include "primitives/decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace cladomatic {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Decimal, GrammarIsTheWholeText) {
  for (const char* bad : {"",   ".",  "e5",   ".e5",  "1e",  "1e+", "1.5.", "1..5",  "+1",    "-1",
                          " 1", "1 ", "1e5x", "0x10", "inf", "nan", "1,5",  "1_000", "1e5.0", "١"}) {
    EXPECT_FALSE(parse_unsigned_decimal(bad).has_value()) << bad;
  }
  for (const char* good : {"0", "5.", ".5", "0.5e-3", "12E+04", "000", "00.00e00"}) {
    EXPECT_TRUE(parse_unsigned_decimal(good).has_value()) << good;
  }
}

// Outside the double range the leading digit's order decides, however the
// digits and the exponent share it: leading zeros on either side of the
// point, long digit strings, exponents too long for any integer.
TEST(Decimal, OutOfRangeReadsAsInfinityOrZero) {
  const std::string zeros(400, '0');
  struct Case {
    std::string text;
    double value;
  };
  for (const Case& c : {Case{"1e400", kInf},
                        {"10e308", kInf},
                        {"0.00001e313", 1e308},
                        {"0.0001e313", kInf},
                        {"000" + zeros + "1e-100", 1e-100},
                        {"1" + zeros + "e-100", 1e300},
                        {"1" + zeros, kInf},
                        {"0." + zeros + "1e400", 0.1},
                        {"0." + zeros + "1", 0.0},
                        {"1e-400", 0.0},
                        {"0.1e-323", 0.0},
                        {"4.9e-324", 4.9e-324},
                        {"1e99999999999999999999999", kInf},
                        {"1e-99999999999999999999999", 0.0},
                        {"0.0e99999999999999999999999", 0.0}}) {
    const std::optional<double> v = parse_unsigned_decimal(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
}

}  // namespace
}  // namespace cladomatic
