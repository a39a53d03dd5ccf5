#include "export.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

#include "../primitives/row_progress.hpp"

namespace cladomatic {
namespace {

// n_trees x n_bip cells; a product beyond size_t could never be allocated,
// and letting it wrap would size the buffer too small.
std::size_t cell_count(std::size_t rows, std::size_t columns) {
  std::size_t cells;
  if (__builtin_mul_overflow(rows, columns, &cells)) throw std::bad_alloc();
  return cells;
}

// Every split id of a tree must have a column; a set built without clade rows
// has none, and then the exports are empty.
void check_ids(const Snapshots& set) {
  if (set.clades.rows() != 0 && set.clades.rows() != set.freq.size()) {
    throw InvariantFailure("clade table does not hold one row per split id");
  }
}

// Visits the tree's ids in the order its `lengths` are laid out: the pendant
// ids 0..n_pendant-1, then `ids`.
template <class Visit>
void for_each_id(const InternSnap& snap, Visit&& visit) {
  std::size_t k = 0;
  for (SplitId id = 0; id < snap.n_pendant; ++id) visit(k++, id);
  for (SplitId id : snap.ids) visit(k++, id);
}

}  // namespace

ColumnOrder column_order(const Snapshots& set) {
  check_ids(set);
  std::size_t n_bip = set.clades.rows();
  ColumnOrder order;
  order.columns.resize(n_bip);
  std::iota(order.columns.begin(), order.columns.end(), std::uint64_t{0});
  // Distinct ids have distinct leaf sets, so the order is total and no
  // stability is needed.
  std::sort(order.columns.begin(), order.columns.end(), [&set](std::uint64_t a, std::uint64_t b) {
    return cmp_packed(set.clades.row(a), set.clades.row(b)) < 0;
  });
  order.export_column_of.resize(n_bip);
  for (std::size_t j = 0; j < n_bip; ++j) order.export_column_of[order.columns[j]] = j;
  return order;
}

namespace {

// Each tree's row is cleared and written by one worker, so no cell needs
// synchronisation and the pages are first touched in parallel.  Under a
// cancelled task group the rows not reached are left as they were.
template <class WriteRow>
void fill_per_tree(const Snapshots& set, const ColumnOrder& order, std::size_t width,
                   std::span<std::byte> out, WriteRow&& write_row) {
  std::size_t n_bip = order.columns.size();
  std::size_t row_bytes = cell_count(n_bip, width);
  if (out.size() != cell_count(set.snaps.size(), row_bytes)) throw InvariantFailure("export buffer size");
  // A set built without clade rows has ids but no columns: nothing to show.
  if (n_bip == 0) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, set.snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        if (stop_requested()) return;
                        std::byte* row = out.data() + t * row_bytes;
                        std::memset(row, 0, row_bytes);
                        write_row(set.snaps[t], order.export_column_of, row);
                      }
                    });
}

}  // namespace

void fill_presence_matrix(const Snapshots& set, const ColumnOrder& order, std::span<std::uint8_t> out) {
  fill_per_tree(set, order, 1, std::as_writable_bytes(out),
                [](const InternSnap& snap, const auto& column_of, std::byte* row) {
                  for_each_id(snap, [&](std::size_t, SplitId id) { row[column_of[id]] = std::byte{1}; });
                });
}

void fill_branch_length_matrix(const Snapshots& set, const ColumnOrder& order, std::span<std::byte> out) {
  fill_per_tree(set, order, sizeof(double), out,
                [](const InternSnap& snap, const auto& column_of, std::byte* row) {
                  for_each_id(snap, [&](std::size_t k, SplitId id) {
                    if (k < snap.lengths.size())
                      std::memcpy(row + column_of[id] * sizeof(double), &snap.lengths[k], sizeof(double));
                  });
                });
}

std::size_t bipartition_stride(const Snapshots& set) noexcept {
  return (set.leaf_names.size() + 7) / 8;
}

void fill_bipartition_bytes(const Snapshots& set, std::span<const std::uint64_t> columns,
                            std::span<std::uint8_t> out) {
  std::size_t stride = bipartition_stride(set);
  if (out.size() != cell_count(columns.size(), stride)) throw InvariantFailure("export buffer size");
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (columns[j] >= set.clades.rows()) throw InvariantFailure("column names a split without a clade row");
    std::uint8_t* row = out.data() + j * stride;
    for (LeafId leaf : set.clades.row(columns[j])) {
      if (leaf >= set.leaf_names.size()) throw InvariantFailure("clade row names a leaf outside the set");
      row[leaf / 8] |= static_cast<std::uint8_t>(1u << (leaf % 8));
    }
  }
}

}  // namespace cladomatic
