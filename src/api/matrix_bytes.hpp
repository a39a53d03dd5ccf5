// The n x n matrix of a pairwise stage as a bytes object that the engine fills
// in place, its pages populated first, with the lock released while a counter
// is polled: the largest buffer of a call is never copied.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "payload_pages.hpp"
#include "progress.hpp"
#include "pyref.hpp"
#include "results.hpp"

namespace cladomatic {

// `fill(PairCounter*, std::span<std::byte>)` must touch no Python object.
// Empty with an exception set when the bytes object cannot be made.
template <class Fill>
PyRef matrix_bytes(std::size_t n, std::size_t cell_width, PyRef progress, Fill&& fill) {
  PyRef matrix = uninitialised_bytes(n, n, cell_width);
  if (!matrix) return matrix;
  std::span<std::byte> out = payload(matrix.get());
  with_counter(std::move(progress), pair_count(n), [&](PairCounter* counter) {
    populate_payload(out);
    fill(counter, out);
  });
  return matrix;
}

}  // namespace cladomatic
