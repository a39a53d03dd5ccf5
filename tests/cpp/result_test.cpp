#include "snapshot/result.hpp"

#include <gtest/gtest.h>

namespace cladomatic {
namespace {

TEST(Result, CarriesValueOrMessage) {
  Result<int> good = 3;
  Result<int> bad = Error{"boom"};
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "boom");
}

}  // namespace
}  // namespace cladomatic
