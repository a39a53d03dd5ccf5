#include "exports.hpp"

#include <cstdint>
#include <utility>

#include "results.hpp"
#include "snapshot/export.hpp"

namespace cladomatic {

PyRef export_tuple(std::span<const std::string> tree_names, PyRef matrix, Snapshots&& set, SplitMatrix kind) {
  Snapshots whole = std::move(set);
  ColumnOrder order = column_order(whole);
  std::size_t n_trees = whole.snaps.size(), n_bip = order.columns.size();
  std::size_t width = kind == SplitMatrix::presence ? sizeof(std::uint8_t) : sizeof(double);
  PyRef split_matrix = uninitialised_bytes(n_trees, n_bip, width);
  if (!split_matrix) return split_matrix;
  std::span<std::byte> split_cells = payload(split_matrix.get());
  if (kind == SplitMatrix::presence) {
    fill_presence_matrix(whole, order,
                         {reinterpret_cast<std::uint8_t*>(split_cells.data()), split_cells.size()});
  } else {
    fill_branch_length_matrix(whole, order, split_cells);
  }
  PyRef clade_bytes = uninitialised_bytes(n_bip, bipartition_stride(whole), 1);
  if (!clade_bytes) return clade_bytes;
  std::span<std::byte> clade_cells = payload(clade_bytes.get());
  fill_bipartition_bytes(whole, order.columns,
                         {reinterpret_cast<std::uint8_t*>(clade_cells.data()), clade_cells.size()});
  PyRef leaf_names = string_list(whole.leaf_names);
  std::size_t split_ids = whole.freq.size();
  whole = Snapshots{};
  return tuple_of(string_list(tree_names), std::move(matrix), std::move(leaf_names), size_object(split_ids),
                  std::move(split_matrix), std::move(clade_bytes));
}

}  // namespace cladomatic
