#include "layout.hpp"

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

Input Input::subset(Input&& from, std::span<const std::uint32_t> trees) {
  Input taken = std::move(from);
  Input input;
  input.owned_freq_.assign(taken.freq_.size(), 0);
  input.owned_snaps_.reserve(trees.size());
  for (std::uint32_t t : trees) {
    if (t >= taken.size_ || t >= taken.snaps_.size()) throw InvariantFailure("subset tree out of range");
    InternSnap snap = taken.owns_ ? std::move(taken.owned_snaps_[t]) : taken.snaps_[t];
    for (std::uint32_t s = 0; s < snap.n_pendant; ++s) ++input.owned_freq_.at(s);
    for (SplitId s : snap.ids) ++input.owned_freq_.at(s);
    input.owned_snaps_.push_back(std::move(snap));
  }
  input.snaps_ = input.owned_snaps_;
  input.freq_ = input.owned_freq_;
  input.size_ = input.owned_snaps_.size();
  input.owns_ = true;
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
  std::uint32_t running = 0;
  for (std::size_t j = n + 1; j-- > 0;) {
    const std::uint32_t here = start[j];
    start[j] = running;
    running += here;
  }
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
  const auto less = [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; };
  if (row.size() <= 20) {
    for (std::size_t i = 1; i < row.size(); ++i) {
      const SparseEntry v = row[i];
      std::size_t j = i;
      for (; j > 0 && less(v, row[j - 1]); --j) row[j] = row[j - 1];
      row[j] = v;
    }
  } else {
    std::sort(row.begin(), row.end(), less);
  }
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
