#include "clades.hpp"

#include <algorithm>

#include "../primitives/small_sort.hpp"
#include "result.hpp"

namespace cladomatic {
namespace {

// Offsets are 32-bit; a wrapped offset would silently corrupt every later row.
std::uint32_t checked_offset(std::size_t entries) {
  if (entries > CladeTable::kMaxEntries) {
    throw InvariantFailure("clade table exceeds 2^32 - 1 leaf entries");
  }
  return static_cast<std::uint32_t>(entries);
}

}  // namespace

CladeTable CladeTable::with_capacity(std::size_t rows, std::size_t entries) {
  CladeTable table;
  table.offsets.reserve(rows + 1);
  table.leaves.reserve(entries);
  return table;
}

CladeTable CladeTable::singletons(std::uint32_t n) {
  CladeTable table = with_capacity(n, n);
  for (std::uint32_t i = 0; i < n; ++i) {
    table.leaves.push_back(i);
    table.offsets.push_back(i + 1);
  }
  return table;
}

CladeTable CladeTable::concat(std::vector<CladeTable>&& tables) {
  std::size_t rows = 0, entries = 0;
  for (const CladeTable& t : tables) {
    rows += t.rows();
    entries += t.leaves.size();
  }
  CladeTable out = with_capacity(rows, entries);
  for (CladeTable& t : tables) {
    std::uint32_t base = checked_offset(out.leaves.size());
    checked_offset(out.leaves.size() + t.leaves.size());
    out.leaves.insert(out.leaves.end(), t.leaves.begin(), t.leaves.end());
    for (std::size_t r = 1; r < t.offsets.size(); ++r) out.offsets.push_back(t.offsets[r] + base);
    t = CladeTable{};
  }
  tables.clear();
  return out;
}

void CladeTable::push(std::span<const LeafId> run) {
  push(run, {});
}

void CladeTable::push(std::span<const LeafId> first, std::span<const LeafId> second) {
  std::size_t begin = leaves.size();
  // Grow geometrically: an exact reserve per row would reallocate the whole
  // table on every push.  Never past what 32-bit offsets can address.
  std::size_t needed = begin + first.size() + second.size();
  if (needed > leaves.capacity())
    leaves.reserve(std::max(needed, std::min(leaves.capacity() * 2, kMaxEntries)));
  leaves.insert(leaves.end(), first.begin(), first.end());
  leaves.insert(leaves.end(), second.begin(), second.end());
  small_sort(leaves.begin() + static_cast<std::ptrdiff_t>(begin), leaves.end());
  offsets.push_back(checked_offset(leaves.size()));
}

std::vector<LeafId> complement(std::span<const LeafId> row, std::uint32_t n) {
  std::vector<LeafId> out;
  out.reserve(n - std::min<std::size_t>(row.size(), n));
  std::size_t k = 0;
  for (LeafId leaf = 0; leaf < n; ++leaf) {
    if (k < row.size() && row[k] == leaf) {
      ++k;
    } else {
      out.push_back(leaf);
    }
  }
  return out;
}

std::strong_ordering cmp_packed(std::span<const LeafId> a, std::span<const LeafId> b) noexcept {
  std::size_t common = 0;
  while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
  if (common == a.size() && common == b.size()) return std::strong_ordering::equal;
  LeafId d;
  if (common == a.size()) {
    d = b[common];
  } else if (common == b.size()) {
    d = a[common];
  } else {
    d = std::min(a[common], b[common]);
  }
  // Words below the one holding d are equal; only entries inside it decide,
  // the highest differing bit first.
  LeafId w0 = d & ~LeafId{63};
  auto in_word = [w0](std::span<const LeafId> row) {
    auto lo = std::lower_bound(row.begin(), row.end(), w0);
    auto hi = std::lower_bound(lo, row.end(), w0 + 64);
    return std::span<const LeafId>(lo, hi);
  };
  std::span<const LeafId> wa = in_word(a), wb = in_word(b);
  std::size_t ia = wa.size(), ib = wb.size();
  while (ia > 0 && ib > 0) {
    LeafId x = wa[ia - 1], y = wb[ib - 1];
    if (x != y) return x > y ? std::strong_ordering::greater : std::strong_ordering::less;
    --ia;
    --ib;
  }
  if (ia == ib) return std::strong_ordering::equal;
  return ia == 0 ? std::strong_ordering::less : std::strong_ordering::greater;
}

}  // namespace cladomatic
