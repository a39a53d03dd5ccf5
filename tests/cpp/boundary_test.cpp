#include "distances/boundary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace cladomatic {
namespace {

TEST(DenseShare, ParsesDecimalNumbersAndFallsBackOnAnythingElse) {
  struct Case {
    std::string text;
    double expected;
  };
  const double fb = 0.5;
  const Case cases[] = {
      {"0.1", 0.1},
      {"  0.1\t\n", 0.1},
      {"+2", 2.0},
      {"1.", 1.0},
      {".25", 0.25},
      {"1e-2", 0.01},
      {"1E+1", 10.0},
      {"0", 0.0},
      {"-0", 0.0},
      {"-0.0e5", 0.0},
      {"1e-400", 0.0},
      {"\u00a0\u20030.2\u3000", 0.2},
      {"", fb},
      {"   ", fb},
      {"-0.1", fb},
      {"inf", fb},
      {"NaN", fb},
      {"infinity", fb},
      {"1e400", fb},
      {"1" + std::string(400, '0'), fb},
      {".", fb},
      {"e5", fb},
      {"1e", fb},
      {"1e+", fb},
      {"0x10", fb},
      {"1,5", fb},
      {"1 2", fb},
      {"++1", fb},
      {"\xff"
       "0.1",
       fb},
      {"0.1\xc0\x80", fb},
      {"\xed\xa0\x80", fb},
      {"0.1\x85", fb},
  };
  for (const Case& c : cases) {
    const double got = parse_dense_share(c.text, fb);
    EXPECT_EQ(got, c.expected) << '"' << c.text << '"';
    EXPECT_FALSE(std::signbit(got)) << '"' << c.text << '"';
  }
}

TEST(DenseShare, ThresholdRoundsUpSaturatesAndNeverGoesBelowTwo) {
  EXPECT_EQ(dense_threshold(0.03, 256), 8u);
  EXPECT_EQ(dense_threshold(0.25, 4), 2u);
  EXPECT_EQ(dense_threshold(0.25, 10), 3u);
  EXPECT_EQ(dense_threshold(0.0, 1000), 2u);
  EXPECT_EQ(dense_threshold(1.0, 1000), 1000u);
  EXPECT_EQ(dense_threshold(1e300, 1000), 0xFFFFFFFFu);
  EXPECT_EQ(dense_threshold(0.5, 0), 2u);
}

}  // namespace
}  // namespace cladomatic
