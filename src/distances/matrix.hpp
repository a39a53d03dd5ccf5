// The parallel driver of every pairwise stage: work items of consecutive rows
// run on the pool, each kernel call computes its rows' upper-triangle cells,
// the item mirrors them into the lower triangle (unless the caller reads the
// upper one alone), and the progress counter advances once per finished item.
//
// The matrix is written into caller-provided bytes (a Python bytes payload,
// filled in place): n * n little-endian cells, row-major, with no alignment
// promised, so every cell goes through memcpy.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "../snapshot/result.hpp"

namespace cladomatic {

static_assert(std::endian::native == std::endian::little, "matrix bytes are written in native order");

template <class Cell>
Cell load_cell(const std::byte* at) noexcept {
  Cell value;
  std::memcpy(&value, at, sizeof(Cell));
  return value;
}

template <class Cell>
void store_cell(std::byte* at, Cell value) noexcept {
  std::memcpy(at, &value, sizeof(Cell));
}

// The rows [first, first + count) of an n x n matrix of Cell, addressed by
// absolute row index.
template <class Cell>
struct RowSlice {
  std::byte* data;  // row `first`
  std::size_t n;
  std::size_t first;
  std::size_t count;

  std::byte* at(std::size_t i, std::size_t j) const noexcept {
    return data + ((i - first) * n + j) * sizeof(Cell);
  }
  Cell get(std::size_t i, std::size_t j) const noexcept { return load_cell<Cell>(at(i, j)); }
  void set(std::size_t i, std::size_t j, Cell v) const noexcept { store_cell<Cell>(at(i, j), v); }
};

template <class Cell>
void require_matrix_bytes(std::span<const std::byte> out, std::size_t n) {
  const bool fits = n == 0 || n <= std::numeric_limits<std::size_t>::max() / n / sizeof(Cell);
  if (!fits || out.size() != n * n * sizeof(Cell))
    throw InvariantFailure("matrix buffer does not hold n * n cells");
}

// Pairs (i, j > i) in `count` rows starting at row `first`.
inline std::uint64_t pairs_in_rows(std::size_t n, std::size_t first, std::size_t count) noexcept {
  if (count == 0) return 0;
  return std::uint64_t{count} * (n - 1 - first) - std::uint64_t{count} * (count - 1) / 2;
}

// Copies the upper-triangle cells of rows [first, first + count) into their
// lower-triangle places, column block [first, first + count) of the rows
// below.  Run right after the band is computed, its rows are still in cache,
// and each row below gets one contiguous run of `count` cells: with a band of
// 64 bytes of cells, every write is a whole cache line.  Only this band writes
// those cells, so bands may mirror concurrently.
template <class Cell>
void mirror_band(std::byte* data, std::size_t n, std::size_t first, std::size_t count) noexcept {
  const std::size_t end = first + count;
  for (std::size_t j = first + 1; j < n; ++j) {
    std::byte* lower = data + (j * n + first) * sizeof(Cell);
    const std::size_t stop = std::min(end, j);
    for (std::size_t i = first; i < stop; ++i) {
      std::memcpy(lower + (i - first) * sizeof(Cell), data + (i * n + j) * sizeof(Cell), sizeof(Cell));
    }
  }
}

// How many rows the first item's band lacks so that every later band's
// mirrored runs start on a cache line: the payload of a bytes object starts
// wherever the allocator put its header, and a run straddling two lines
// shares each with a band that writes it at another time, which reads it back
// from memory once more.  Zero (bands from row 0) when no shift lines them
// all up: rows of a length that is not a whole number of lines, cells not
// aligned to their size, or bands that are not whole lines.
template <class Cell>
std::size_t band_shift(const std::byte* data, std::size_t n, std::size_t rows_per_item) noexcept {
  constexpr std::size_t kLine = 64;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  if (address % sizeof(Cell) != 0 || n * sizeof(Cell) % kLine != 0 ||
      rows_per_item * sizeof(Cell) % kLine != 0)
    return 0;
  const std::size_t lead = (kLine - address % kLine) % kLine / sizeof(Cell);
  return (rows_per_item - lead % rows_per_item) % rows_per_item;
}

// Which cells a pairwise stage computes: the whole symmetric matrix, or only
// the cells above the diagonal, for a caller that reads no other (the
// diagonal and the lower triangle are then zeros).
enum class Fill { whole, upper };

// What a kernel finds in the cells (i, j > i) of its rows: zeros it may add
// to, or whatever the buffer held, in which case it stores every one of them
// before reading any.  A fresh payload is zeroed by the operating system as
// it is faulted in; zeroing it once more costs a whole pass of stores over
// the matrix, so kernels that can write their cells outright take them
// unwritten.
enum class Start { zeroed, unwritten };

// Fills `out` (exactly n * n cells) with the symmetric matrix whose upper
// triangle `kernel(RowSlice<Cell>)` computes, rows_per_item rows at a time;
// with Fill::whole each item mirrors its own cells into the lower triangle.
// The kernel writes only cells (i, j > i) of its rows, which it finds as
// `start` says; the diagonal (and with Fill::upper the lower triangle) is
// zeroed here.  The counter, when given, grows by n(n-1)/2 in all, with one
// relaxed add per item.
template <class Cell, class Kernel>
void fill_symmetric(std::span<std::byte> out, std::size_t n, std::size_t rows_per_item,
                    std::atomic<std::uint64_t>* progress, const Kernel& kernel, Fill fill = Fill::whole,
                    Start start = Start::zeroed) {
  require_matrix_bytes<Cell>(out, n);
  if (n == 0) return;
  const std::size_t r = std::max<std::size_t>(rows_per_item, 1);
  const std::size_t shift = fill == Fill::whole ? band_shift<Cell>(out.data(), n, r) : 0;
  const std::size_t items = (n + shift + r - 1) / r;
  // Early rows hold the most pairs; the default partitioner keeps splitting
  // the range as threads steal, which evens out the triangle.
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, items), [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t item = range.begin(); item != range.end(); ++item) {
          const std::size_t first = std::max(item * r, shift) - shift;
          const std::size_t count = std::min((item + 1) * r - shift, n) - first;
          std::byte* rows = out.data() + first * n * sizeof(Cell);
          // With Fill::whole the cells left of the diagonal are other
          // items' to write; with Fill::upper nobody's, and zeroing
          // them here faults their pages in on the pool.
          for (std::size_t i = first; i < first + count; ++i) {
            const std::size_t from = fill == Fill::whole ? i : 0;
            const std::size_t to = start == Start::zeroed ? n : i + 1;
            std::memset(rows + ((i - first) * n + from) * sizeof(Cell), 0, (to - from) * sizeof(Cell));
          }
          kernel(RowSlice<Cell>{rows, n, first, count});
          if (fill == Fill::whole) mirror_band<Cell>(out.data(), n, first, count);
          if (progress != nullptr)
            progress->fetch_add(pairs_in_rows(n, first, count), std::memory_order_relaxed);
        }
      });
}

}  // namespace cladomatic
