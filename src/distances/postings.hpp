// The postings index over rare (sparse) splits, stored twice: inverted, each
// sparse index with the ascending list of trees holding it; forward, each
// tree's ascending sparse row, grouped in layout blocks.  Kernels walk a
// tree's forward row and, per rare split, only the later trees of its list.
//
// Invariants once every tree is pushed: starts[0] = 0, starts[K] = docs.size(),
// each docs group strictly ascending, vals empty or aligned with docs, one
// OwnPosted per layout block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "columns.hpp"

namespace cladomatic {

struct SparseEntry {
  std::uint32_t index;  // sparse index
  double value;         // branch length, 0.0 for RF
};
using SparseRow = std::vector<SparseEntry>;

// Forward rows of one block: row i is indices[row_starts[i] .. row_starts[i+1]).
struct OwnPosted {
  std::vector<std::uint64_t> row_starts{0};
  std::vector<std::uint32_t> indices;
  std::vector<double> vals;  // empty without values
};

struct Postings {
  std::vector<std::uint64_t> starts;  // K + 1
  std::vector<std::uint32_t> docs;
  std::vector<double> vals;  // empty without values
  std::vector<OwnPosted> blocks;
  unsigned shift = 0;
};

struct PostingsBuilder {
  Postings postings;
  std::vector<std::uint64_t> cursors;  // next free slot of docs per sparse index
  std::size_t next_tree = 0;
  bool with_values = false;
};

// List starts are final from the tree counts, so pushing only places entries.
PostingsBuilder postings_builder(std::span<const std::uint32_t> freq, const ColumnMap& columns, std::size_t n,
                                 unsigned shift, bool with_values);

// The next block's sparse rows, in tree order, each ascending.  Throws
// InvariantFailure if a sparse index holds more trees than its tree count.
void push_block(PostingsBuilder& builder, std::span<const SparseRow> rows);

Postings finish(PostingsBuilder&& builder);

struct PostingSpan {
  std::span<const std::uint32_t> trees;  // sparse indices (forward) or tree indices (inverted)
  std::span<const double> vals;          // empty without values
};

inline PostingSpan forward_row(const Postings& postings, std::size_t t) noexcept {
  const OwnPosted& block = postings.blocks[t >> postings.shift];
  const std::size_t i = t & ((std::size_t{1} << postings.shift) - 1);
  const std::size_t begin = block.row_starts[i];
  const std::size_t end = block.row_starts[i + 1];
  PostingSpan row{{block.indices.data() + begin, end - begin}, {}};
  if (!block.vals.empty()) row.vals = {block.vals.data() + begin, end - begin};
  return row;
}

// The trees of sparse index k after tree t: an upper-bound search, so when t
// holds k the walk starts right after t's own entry.
PostingSpan later_trees(const Postings& postings, std::uint32_t k, std::uint32_t t) noexcept;

}  // namespace cladomatic
