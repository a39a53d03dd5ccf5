// A block whose rows and columns pick the same trees in the same order is a
// symmetric matrix: each pair is computed once, for the columns from its row
// on, and copied across the diagonal.  Block kernels compute every cell on
// its own and give (i, j) and (j, i) the same bits, so the copy is exact.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "block.hpp"

namespace cladomatic {

inline bool same_trees(Block block) noexcept {
  return block.rows.size() == block.cols.size() &&
         std::equal(block.rows.begin(), block.rows.end(), block.cols.begin());
}

// `kernel(Block, Cell*)` fills a block row-major.  Runs it on the whole block
// unless the block is symmetric; then on bands of rows against the columns
// from the band on, in a scratch of one band.  Each band's rows are the
// block's rows, so the counter of finished rows passes through whole.
template <class Cell, class Kernel>
void symmetric_block(Block block, Cell* out, const Kernel& kernel) {
  const std::size_t n = block.rows.size();
  if (n < 2 || !same_trees(block)) {
    kernel(block, out);
    return;
  }
  // Bands of up to 32 MiB of cells, a multiple of 16 rows: each kernel call
  // still has rows for every thread, and the rows of the band's own square
  // computed twice stay few beside the rest.
  constexpr std::size_t kBandBytes = std::size_t{32} << 20;
  const std::size_t band = std::clamp<std::size_t>(kBandBytes / (n * sizeof(Cell)) / 16 * 16, 16, 512);
  std::vector<Cell> scratch(std::min(band, n) * n);
  for (std::size_t first = 0; first < n && !stop_requested(); first += band) {
    const std::size_t last = std::min(first + band, n);
    const std::size_t width = n - first;
    kernel(Block{block.rows.subspan(first, last - first), block.cols.subspan(first), block.rows_done},
           scratch.data());
    // The band's cells into its rows, then into its columns of every later
    // row; a task takes a stretch of rows either way.
    tbb::parallel_for(tbb::blocked_range<std::size_t>(first, n),
                      [&](const tbb::blocked_range<std::size_t>& rows) {
                        for (std::size_t t = rows.begin(); t != rows.end(); ++t) {
                          if (t < last) {
                            std::copy_n(scratch.data() + (t - first) * width, width, out + t * n + first);
                          } else {
                            for (std::size_t r = first; r < last; ++r)
                              out[t * n + r] = scratch[(r - first) * width + (t - first)];
                          }
                        }
                      });
  }
}

}  // namespace cladomatic
