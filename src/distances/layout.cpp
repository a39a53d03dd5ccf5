#include "layout.hpp"

#include <numeric>

#include "../primitives/small_sort.hpp"

namespace cladomatic {

Input Input::owning(Snapshots&& set) {
  Snapshots taken = std::move(set);
  Input input;
  input.owned_snaps_ = std::move(taken.snaps);
  input.owned_freq_ = std::move(taken.freq);
  input.snaps_ = input.owned_snaps_;
  input.freq_ = input.owned_freq_;
  input.size_ = input.owned_snaps_.size();
  input.owns_ = true;
  return input;
}

Input Input::borrowing(const Snapshots& set) {
  Input input;
  input.snaps_ = set.snaps;
  input.freq_ = set.freq;
  input.size_ = set.snaps.size();
  return input;
}

void Input::release_trees(std::size_t begin, std::size_t end) {
  if (!owns_) return;
  for (std::size_t t = begin; t < end && t < owned_snaps_.size(); ++t) owned_snaps_[t] = InternSnap{};
}

void Input::release_trees_storage() {
  if (!owns_) return;
  owned_snaps_ = {};
  snaps_ = {};
}

void Input::release_freq() {
  if (!owns_) return;
  owned_freq_ = {};
  freq_ = {};
}

ColumnMap assign_columns(std::span<const std::uint32_t> freq, std::size_t n, Eligible eligible,
                         std::uint32_t dense_threshold) {
  const auto is_eligible = [&](std::uint32_t f) { return f >= eligible.lo && f <= eligible.hi; };
  std::vector<std::uint32_t> start(n + 1, 0);
  for (std::uint32_t f : freq) {
    if (f > n) throw InvariantFailure("tree count above the number of trees");
    if (is_eligible(f)) ++start[f];
  }
  // Exclusive suffix sums: start[f] = eligible splits with a larger count.
  const std::uint32_t at_zero = start[0];
  std::exclusive_scan(start.rbegin(), start.rend(), start.rbegin(), std::uint32_t{0});
  const std::uint32_t running = start[0] + at_zero;
  ColumnMap map;
  map.n_columns = running;
  if (dense_threshold == 0) {
    map.n_dense = running;
  } else if (dense_threshold <= n) {
    map.n_dense = start[dense_threshold - 1];
  }
  map.column_of.resize(freq.size());
  for (std::size_t s = 0; s < freq.size(); ++s) {
    const std::uint32_t f = freq[s];
    map.column_of[s] = is_eligible(f) ? start[f]++ : kNoColumn;
  }
  return map;
}

unsigned block_shift(std::size_t threads) noexcept {
  return static_cast<unsigned>(std::bit_width(4 * std::max<std::size_t>(threads, 1)) - 1);
}

void sort_sparse_row(SparseRow& row) noexcept {
  small_sort(row.begin(), row.end(),
             [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; });
}

std::uint32_t rf_row(const InternSnap& snap, const ColumnMap& columns, std::uint32_t n_everywhere,
                     std::span<std::uint64_t> row, SparseRow& sparse) {
  const std::size_t n_ids = columns.column_of.size();
  const auto place = [&](std::size_t s) {
    if (s >= n_ids) throw InvariantFailure("split id without a tree count");
    const std::uint32_t c = columns.column_of[s];
    if (c == kNoColumn) return;
    if (c < columns.n_dense) {
      row[c / 64] |= std::uint64_t{1} << (c % 64);
    } else {
      sparse.push_back({static_cast<std::uint32_t>(c - columns.n_dense), 0.0});
    }
  };
  for (std::uint32_t s = 0; s < snap.n_pendant; ++s) place(s);
  for (SplitId s : snap.ids) place(s);
  sort_sparse_row(sparse);
  return snap.n_pendant + static_cast<std::uint32_t>(snap.ids.size()) - n_everywhere;
}

}  // namespace cladomatic
