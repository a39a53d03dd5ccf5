// What the distance engines take from a tree set, and the layout they share:
// columns ordered by tree count, frequent splits as dense rows, rare ones as
// sorted sparse rows feeding the postings index.
#pragma once

#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "../snapshot/intern.hpp"
#include "../snapshot/result.hpp"
#include "columns.hpp"
#include "postings.hpp"

namespace cladomatic {

// Owning (moved out of a set that is no longer needed: trees are released
// block by block during layout, tree counts right after it) or borrowing (the
// caller keeps the set whole for the exports).  size() stays the number of
// trees after a release.
class Input {
 public:
  static Input owning(Snapshots&& set);
  static Input borrowing(const Snapshots& set);
  // An owning input of the trees `trees` (ascending) of `from`, in that
  // order, with tree counts over them alone; trees are moved out of an
  // owning `from`, copied from a borrowing one.
  static Input subset(Input&& from, std::span<const std::uint32_t> trees);

  Input(Input&&) noexcept = default;
  Input& operator=(Input&&) noexcept = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  std::size_t size() const noexcept { return size_; }
  std::span<const InternSnap> snaps() const noexcept { return snaps_; }
  std::span<const std::uint32_t> freq() const noexcept { return freq_; }

  // No-ops when borrowing.
  void release_trees(std::size_t begin, std::size_t end);
  void release_trees_storage();
  void release_freq();

 private:
  Input() = default;

  std::vector<InternSnap> owned_snaps_;
  std::vector<std::uint32_t> owned_freq_;
  std::span<const InternSnap> snaps_;
  std::span<const std::uint32_t> freq_;
  std::size_t size_ = 0;
  bool owns_ = false;
};

// Blocks of 2^shift trees, shift = floor(log2(4 * threads)): enough blocks in
// flight per thread while only one block's sparse rows exist at a time.
unsigned block_shift(std::size_t threads) noexcept;

// Dense rows of all trees back to back: tree t at data[t * width ..].
template <class T>
struct DenseRows {
  std::vector<T> data;
  std::size_t width = 0;

  const T* row(std::size_t t) const noexcept { return data.data() + t * width; }
};

// Sparse indices are unique within a row, so any ascending sort gives the same
// row; insertion sort wins on the short rows that dominate.
void sort_sparse_row(SparseRow& row) noexcept;

// RF row builder: bit c of `row` for every dense column, (sparse index, 0.0)
// for every sparse one; returns the number of the tree's splits that are not
// in every tree (`n_everywhere` split ids are), modulo 2^32.
std::uint32_t rf_row(const InternSnap& snap, const ColumnMap& columns, std::uint32_t n_everywhere,
                     std::span<std::uint64_t> row, SparseRow& sparse);

// A tree's weighted self term, and the part of it from its column-less splits
// (held by no other tree), which a direct sum over the pair's splits needs.
struct WeightedSelf {
  double total = 0.0;
  double lone = 0.0;
};

// Weighted row builder: dense branch lengths into `row`, rare ones into
// `sparse`; returns the self term.  `Metric::self(a)` is what a split held by
// the tree contributes through a dense column, which also meets the other
// tree's 0.0 in the cross term, and `Metric::lone(a)` what a sparse or
// column-less split contributes on its own.  The dense part is summed in the
// pair kernel's lane order (x mod 8, ascending x), then the sparse sum, then
// the column-less sum, so that identical trees cancel exactly.
template <class Metric>
WeightedSelf weighted_row(const InternSnap& snap, const ColumnMap& columns, std::span<double> row,
                          SparseRow& sparse) {
  const std::uint32_t n_pendant = snap.n_pendant;
  const std::size_t n_splits =
      std::min<std::size_t>(std::size_t{n_pendant} + snap.ids.size(), snap.lengths.size());
  const std::size_t n_ids = columns.column_of.size();
  double unique = 0.0;
  for (std::size_t p = 0; p < n_splits; ++p) {
    const std::size_t s = p < n_pendant ? p : snap.ids[p - n_pendant];
    if (s >= n_ids) throw InvariantFailure("split id without a tree count");
    const double a = snap.lengths[p];
    const std::uint32_t c = columns.column_of[s];
    if (c == kNoColumn) {
      unique += Metric::lone(a);
    } else if (c < columns.n_dense) {
      row[c] = a;
    } else {
      sparse.push_back({static_cast<std::uint32_t>(c - columns.n_dense), a});
    }
  }
  sort_sparse_row(sparse);
  double lanes[8] = {};
  for (std::size_t x = 0; x < row.size(); ++x) lanes[x % 8] += Metric::self(row[x]);
  double rare = 0.0;
  for (const SparseEntry& e : sparse) rare += Metric::lone(e.value);
  double total = lanes[0];
  for (int lane = 1; lane < 8; ++lane) total += lanes[lane];
  total += rare;
  return {total + unique, unique};
}

// Lays the trees out block by block: in parallel within a block, each tree's
// row builder fills its dense row (zero on entry) and its sparse row and
// returns its self term; then, on the calling thread, the block's sparse rows
// go to the postings builder and an owned input releases the block's trees.
// `build(snap, row, sparse)` returns the self term.
template <class T, class Self, class Build>
void lay_out(Input& input, unsigned shift, std::size_t width, const Build& build, PostingsBuilder& postings,
             std::vector<Self>& self_terms, DenseRows<T>& rows) {
  const std::size_t n = input.size();
  const std::size_t block = std::size_t{1} << shift;
  rows.width = width;
  rows.data.assign(n * width, T{});
  self_terms.resize(n);
  std::vector<SparseRow> sparse(block);
  for (std::size_t begin = 0; begin < n; begin += block) {
    const std::size_t count = std::min(block, n - begin);
    const std::span<const InternSnap> snaps = input.snaps().subspan(begin, count);
    // One tree per task: trees are few per block and uneven in size.
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, count, 1), [&](const tbb::blocked_range<std::size_t>& r) {
          for (std::size_t i = r.begin(); i != r.end(); ++i) {
            const std::size_t t = begin + i;
            sparse[i].clear();
            self_terms[t] = build(snaps[i], std::span<T>(rows.data.data() + t * width, width), sparse[i]);
          }
        });
    push_block(postings, std::span<const SparseRow>(sparse.data(), count));
    input.release_trees(begin, begin + count);
  }
  input.release_trees_storage();
}

}  // namespace cladomatic
