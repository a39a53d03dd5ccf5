#include "distances/matrix.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace cladomatic {
namespace {

// A kernel whose cells say where they are, and which checks its contract:
// its rows arrive zeroed from the diagonal on.
std::vector<double> filled(std::size_t n, std::size_t rows_per_item, std::atomic<std::uint64_t>* progress,
                           std::vector<std::size_t>* visits = nullptr, std::size_t offset = 3) {
  std::vector<std::byte> bytes(n * n * sizeof(double) + 64, std::byte{0x7F});
  const auto misalignment = reinterpret_cast<std::uintptr_t>(bytes.data()) % 64;
  const std::span<std::byte> out =
      std::span(bytes).subspan((64 - misalignment + offset) % 64, n * n * sizeof(double));
  fill_symmetric<double>(out, n, rows_per_item, progress, [&](const RowSlice<double>& cells) {
    if (visits != nullptr) ++(*visits)[cells.first];
    for (std::size_t i = cells.first; i < cells.first + cells.count; ++i) {
      for (std::size_t j = i; j < n; ++j) EXPECT_EQ(cells.get(i, j), 0.0);
      for (std::size_t j = i + 1; j < n; ++j) cells.set(i, j, static_cast<double>(i * 1000 + j));
    }
  });
  std::vector<double> matrix(n * n);
  for (std::size_t c = 0; c < n * n; ++c) matrix[c] = load_cell<double>(out.data() + c * sizeof(double));
  return matrix;
}

// Offsets of whole cells from a cache line shift the bands when rows are
// whole lines (n = 64, 128 here), so that the first band is short.
TEST(FillSymmetric, MirrorsPartialTilesAndZeroesTheDiagonal) {
  for (std::size_t n : {1, 2, 63, 64, 65, 128, 130}) {
    for (std::size_t offset : {3, 0, 8, 56}) {
      std::atomic<std::uint64_t> progress{0};
      const std::vector<double> m = filled(n, 8, &progress, nullptr, offset);
      EXPECT_EQ(progress.load(), n * (n - 1) / 2);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(m[i * n + i], 0.0);
        for (std::size_t j = i + 1; j < n; ++j) {
          ASSERT_EQ(m[i * n + j], static_cast<double>(i * 1000 + j)) << n << " " << offset;
          ASSERT_EQ(m[j * n + i], m[i * n + j]) << n << " " << offset;
        }
      }
    }
  }
}

TEST(FillSymmetric, BandsStartOnCacheLinesWhereTheyCan) {
  const auto* line = reinterpret_cast<const std::byte*>(std::uintptr_t{1} << 12);
  EXPECT_EQ(band_shift<std::uint32_t>(line, 10000, 16), 0u);
  EXPECT_EQ(band_shift<std::uint32_t>(line + 48, 10000, 16), 12u);  // the first band has 4 rows
  EXPECT_EQ(band_shift<std::uint32_t>(line + 4, 10000, 16), 1u);
  EXPECT_EQ(band_shift<double>(line + 40, 64, 8), 5u);
  EXPECT_EQ(band_shift<std::uint32_t>(line + 48, 10001, 16), 0u);  // rows not whole lines
  EXPECT_EQ(band_shift<std::uint32_t>(line + 2, 10000, 16), 0u);   // cells not aligned
  EXPECT_EQ(band_shift<std::uint32_t>(line + 48, 10000, 8), 0u);   // bands not whole lines
}

// A kernel that takes its cells unwritten finds them as the buffer held
// them; the driver still owes the zeros of the diagonal and, with
// Fill::upper, of the lower triangle.
TEST(FillSymmetric, UnwrittenCellsAreLeftToTheKernelAndTheRestZeroed) {
  constexpr std::size_t n = 37;
  for (const Fill fill : {Fill::whole, Fill::upper}) {
    std::vector<std::byte> bytes(n * n * sizeof(std::uint32_t) + 1, std::byte{0xA5});
    const std::span<std::byte> out = std::span(bytes).subspan(1);
    fill_symmetric<std::uint32_t>(
        out, n, 8, nullptr,
        [&](const RowSlice<std::uint32_t>& cells) {
          for (std::size_t i = cells.first; i < cells.first + cells.count; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
              ASSERT_EQ(cells.get(i, j), 0xA5A5A5A5u);
              cells.set(i, j, static_cast<std::uint32_t>(i * 100 + j));
            }
          }
        },
        fill, Start::unwritten);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t above = static_cast<std::uint32_t>(std::min(i, j) * 100 + std::max(i, j));
        const std::uint32_t want = i == j ? 0 : i < j || fill == Fill::whole ? above : 0;
        ASSERT_EQ(load_cell<std::uint32_t>(out.data() + (i * n + j) * 4), want) << i << " " << j;
      }
    }
  }
}

TEST(FillSymmetric, CountsEveryPairOnceWhateverTheThreads) {
  for (int threads : {0, 1}) {
    std::unique_ptr<tbb::global_control> limit;
    if (threads == 1)
      limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, 1);
    for (std::size_t n : {0, 1, 2, 9, 100}) {
      for (std::size_t r : {1, 8}) {
        std::atomic<std::uint64_t> progress{0};
        std::vector<std::size_t> visits(n, 0);
        filled(n, r, &progress, &visits);
        EXPECT_EQ(progress.load(), n * (n ? n - 1 : 0) / 2);
        for (std::size_t f = 0; f < n; ++f) EXPECT_EQ(visits[f], f % r == 0 ? 1u : 0u);
      }
    }
  }
}

TEST(FillSymmetric, EightRowItemsAddTheirPairs) {
  EXPECT_EQ(pairs_in_rows(10, 0, 8), 44u);
  EXPECT_EQ(pairs_in_rows(10, 8, 2), 1u);
  EXPECT_EQ(pairs_in_rows(1, 0, 1), 0u);
  EXPECT_EQ(pairs_in_rows(5, 0, 0), 0u);
}

TEST(FillSymmetric, RejectsABufferOfTheWrongSize) {
  std::vector<std::byte> bytes(4 * 5);
  const auto kernel = [](const RowSlice<std::uint32_t>&) {};
  EXPECT_THROW(fill_symmetric<std::uint32_t>(bytes, 2, 1, nullptr, kernel), InvariantFailure);
  EXPECT_THROW(fill_symmetric<std::uint32_t>(bytes, 0, 1, nullptr, kernel), InvariantFailure);
  EXPECT_NO_THROW(fill_symmetric<std::uint32_t>(std::span(bytes).first(16), 2, 1, nullptr, kernel));
}

}  // namespace
}  // namespace cladomatic
