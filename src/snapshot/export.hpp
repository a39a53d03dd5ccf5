// Exports of a set built with clade rows, as flat little-endian buffers that
// Python decodes with NumPy.  All share one column order that depends only on
// the splits' leaf sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "snapshots.hpp"

namespace cladomatic {

struct ColumnOrder {
  std::vector<std::uint64_t> export_column_of;  // split id -> column
  std::vector<std::uint64_t> columns;           // column -> split id
};

// Columns sorted by cmp_packed of the splits' clade rows.
ColumnOrder column_order(const Snapshots& set);

struct ExportMatrix {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> columns;
};

// n_trees x n_bip bytes, 1 where the tree holds the split.
ExportMatrix build_presence_matrix(const Snapshots& set);
// n_trees x n_bip float64 (native order), 0.0 where the tree lacks the split.
ExportMatrix build_branch_length_matrix(const Snapshots& set);
// One row of ceil(n_leaves / 8) bytes per column, leaf i at bit i % 8 of byte i / 8.
std::vector<std::uint8_t> build_bipartition_bytes(const Snapshots& set, const std::vector<std::uint64_t>& columns);

}  // namespace cladomatic
