// Clades as rows of sorted leaf indices in compressed-row form: a clade of k
// leaves costs k entries instead of an n-bit row.
//
// Invariants: `offsets` is never empty, starts at 0, is non-decreasing and ends
// with leaves.size(); row r is leaves[offsets[r] .. offsets[r+1]) and is sorted
// ascending.  32-bit offsets cap a table at 2^32 - 1 leaf entries.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

namespace cladomatic {

using LeafId = std::uint32_t;

struct CladeTable {
  // Offsets are 32-bit.
  static constexpr std::size_t kMaxEntries = 0xFFFFFFFFu;

  std::vector<LeafId> leaves;
  std::vector<std::uint32_t> offsets{0};

  static CladeTable with_capacity(std::size_t rows, std::size_t entries);
  // Row i holds only leaf i.
  static CladeTable singletons(std::uint32_t n);
  // Consumes the tables; rows keep table order, then row order.
  static CladeTable concat(std::vector<CladeTable>&& tables);

  std::size_t rows() const noexcept { return offsets.size() - 1; }
  std::span<const LeafId> row(std::size_t r) const noexcept {
    return {leaves.data() + offsets[r], leaves.data() + offsets[r + 1]};
  }

  // Appends one row (the indices must be distinct) and sorts it.
  void push(std::span<const LeafId> run);
  // Appends `first` followed by `second` as one row: the complement of a range.
  void push(std::span<const LeafId> first, std::span<const LeafId> second);
};

// The leaves 0..n-1 that `row` (ascending, below n) lacks, ascending.
std::vector<LeafId> complement(std::span<const LeafId> row, std::uint32_t n);

// Orders sorted rows exactly as their packed forms would order (64-bit words,
// bit j of word w = leaf 64w + j, compared from word 0 up as unsigned), without
// building them.
std::strong_ordering cmp_packed(std::span<const LeafId> a, std::span<const LeafId> b) noexcept;

}  // namespace cladomatic
