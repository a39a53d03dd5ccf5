// Exports of a set built with clade rows, as flat little-endian buffers that
// Python decodes with NumPy.  All share one column order that depends only on
// the splits' leaf sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "snapshots.hpp"

namespace cladomatic {

struct ColumnOrder {
  std::vector<std::uint64_t> export_column_of;  // split id -> column
  std::vector<std::uint64_t> columns;           // column -> split id
};

// Columns sorted by cmp_packed of the splits' clade rows.
ColumnOrder column_order(const Snapshots& set);

// Fillers writing into a caller's buffer of exactly the size given (any
// alignment, any prior content): the module hands them the payload of the
// Python bytes object, so the largest exports are never copied.
//   presence:       n_trees x n_bip bytes, 1 where the tree holds the split;
//   branch lengths: n_trees x n_bip float64 (native order), 0.0 where absent;
//   bipartitions:   columns.size() rows of bipartition_stride bytes, leaf i at
//                   bit i % 8 of byte i / 8, padding bits 0.
void fill_presence_matrix(const Snapshots& set, const ColumnOrder& order, std::span<std::uint8_t> out);
void fill_branch_length_matrix(const Snapshots& set, const ColumnOrder& order, std::span<std::byte> out);
std::size_t bipartition_stride(const Snapshots& set) noexcept;
void fill_bipartition_bytes(const Snapshots& set, std::span<const std::uint64_t> columns,
                            std::span<std::uint8_t> out);

}  // namespace cladomatic
