#include "layout.hpp"

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
