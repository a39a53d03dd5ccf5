#include "postings.hpp"

#include <algorithm>
#include <numeric>

#include "../snapshot/result.hpp"

namespace cladomatic {

PostingsBuilder postings_builder(std::span<const std::uint32_t> freq, const ColumnMap& columns, std::size_t n,
                                 unsigned shift, bool with_values) {
  const std::size_t n_sparse = columns.n_columns - columns.n_dense;
  PostingsBuilder builder;
  Postings& postings = builder.postings;
  postings.starts.assign(n_sparse + 1, 0);
  if (n_sparse > 0) {
    for (std::size_t s = 0; s < columns.column_of.size(); ++s) {
      const std::uint32_t c = columns.column_of[s];
      if (c != kNoColumn && c >= columns.n_dense) postings.starts[c - columns.n_dense] = freq[s];
    }
  }
  std::exclusive_scan(postings.starts.begin(), postings.starts.end(), postings.starts.begin(),
                      std::uint64_t{0});
  const std::uint64_t running = postings.starts.back();
  builder.cursors.assign(postings.starts.begin(), postings.starts.end() - 1);
  postings.docs.assign(running, 0);
  if (with_values) postings.vals.assign(running, 0.0);
  const std::size_t block = std::size_t{1} << shift;
  postings.blocks.reserve((n + block - 1) / block);
  postings.shift = shift;
  builder.with_values = with_values;
  return builder;
}

void push_block(PostingsBuilder& builder, std::span<const SparseRow> rows) {
  Postings& postings = builder.postings;
  std::size_t entries = 0;
  for (const SparseRow& row : rows) entries += row.size();
  OwnPosted block;
  block.row_starts.reserve(rows.size() + 1);
  block.indices.reserve(entries);
  if (builder.with_values) block.vals.reserve(entries);
  const std::size_t n_sparse = builder.cursors.size();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto tree = static_cast<std::uint32_t>(builder.next_tree + i);
    for (const SparseEntry& e : rows[i]) {
      // A tree listing a split twice, or a wrong tree count, would run a list
      // into its neighbour's slots.
      if (e.index >= n_sparse || builder.cursors[e.index] >= postings.starts[e.index + 1]) {
        throw InvariantFailure("rare split held by more trees than its tree count");
      }
      const std::uint64_t p = builder.cursors[e.index]++;
      postings.docs[p] = tree;
      if (builder.with_values) {
        postings.vals[p] = e.value;
        block.vals.push_back(e.value);
      }
      block.indices.push_back(e.index);
    }
    block.row_starts.push_back(block.indices.size());
  }
  builder.next_tree += rows.size();
  postings.blocks.push_back(std::move(block));
}

Postings finish(PostingsBuilder&& builder) {
  for (std::size_t k = 0; k < builder.cursors.size(); ++k) {
    if (builder.cursors[k] != builder.postings.starts[k + 1]) {
      throw InvariantFailure("rare split held by fewer trees than its tree count");
    }
  }
  builder.cursors = {};
  return std::move(builder.postings);
}

PostingSpan later_trees(const Postings& postings, std::uint32_t k, std::uint32_t t) noexcept {
  const std::uint32_t* first = postings.docs.data() + postings.starts[k];
  const std::uint32_t* last = postings.docs.data() + postings.starts[k + 1];
  const std::uint32_t* from = std::upper_bound(first, last, t);
  PostingSpan later{{from, static_cast<std::size_t>(last - from)}, {}};
  if (!postings.vals.empty())
    later.vals = {postings.vals.data() + (from - postings.docs.data()), later.trees.size()};
  return later;
}

}  // namespace cladomatic
