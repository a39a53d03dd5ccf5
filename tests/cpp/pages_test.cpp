#include "distances/pages.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace cladomatic {
namespace {

TEST(PrefaultForWriting, LeavesWrittenBytesAndUnalignedEndsAsTheyWere) {
  // Larger than the size it starts to act at, with ends inside pages.
  std::vector<std::uint8_t> buffer((std::size_t{40} << 20) + 123);
  for (std::size_t k = 0; k < buffer.size(); k += 4093) buffer[k] = static_cast<std::uint8_t>(k * 7 + 1);
  std::vector<std::uint8_t> copy = buffer;
  prefault_for_writing(std::as_writable_bytes(std::span(buffer)).subspan(5, buffer.size() - 9));
  EXPECT_EQ(buffer, copy);
  prefault_for_writing({});
  std::vector<std::byte> small(100);
  prefault_for_writing(small);
  EXPECT_EQ(small, std::vector<std::byte>(100));
}

}  // namespace
}  // namespace cladomatic
