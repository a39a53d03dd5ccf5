#include "split_lists.hpp"

#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../snapshot/result.hpp"

namespace cladomatic {
namespace {

// Walks two ascending id lists together: only_a(p), only_b(q) and both(p, q)
// with positions into the lists, in ascending id order.
template <class OnlyA, class OnlyB, class Both>
void merge(std::span<const SplitId> a, std::span<const SplitId> b, const OnlyA& only_a, const OnlyB& only_b,
           const Both& both) {
  std::size_t p = 0;
  std::size_t q = 0;
  while (p < a.size() && q < b.size()) {
    if (a[p] < b[q]) {
      only_a(p++);
    } else if (b[q] < a[p]) {
      only_b(q++);
    } else {
      both(p++, q++);
    }
  }
  while (p < a.size()) only_a(p++);
  while (q < b.size()) only_b(q++);
}

std::uint32_t symmetric_difference(std::span<const SplitId> a, std::span<const SplitId> b) {
  std::uint32_t count = 0;
  merge(a, b, [&](std::size_t) { ++count; }, [&](std::size_t) { ++count; }, [](std::size_t, std::size_t) {});
  return count;
}

// A list without its pendant ids, which come first and are in every tree.
std::span<const SplitId> inner(std::span<const SplitId> ids, std::uint32_t n_pendant) {
  return ids.subspan(std::min<std::size_t>(n_pendant, ids.size()));
}

}  // namespace

double merged_pair(const PairContext& context, const SplitLists& a, std::size_t i, const SplitLists& b,
                   std::size_t j) {
  const std::span<const SplitId> ia = a.ids_of(i);
  const std::span<const SplitId> ib = b.ids_of(j);
  const std::span<const SplitId> xa = inner(ia, context.n_pendant);
  const std::span<const SplitId> xb = inner(ib, context.n_pendant);
  switch (context.metric) {
    case PairMetric::kRf:
      return symmetric_difference(xa, xb);
    case PairMetric::kRfNorm: {
      const std::size_t splits = xa.size() + xb.size();
      return splits == 0 ? 0.0 : double(symmetric_difference(xa, xb)) / double(splits);
    }
    case PairMetric::kInfoRf: {
      double sum = 0.0;
      merge(
          xa, xb, [&](std::size_t p) { sum += context.information[xa[p]]; },
          [&](std::size_t q) { sum += context.information[xb[q]]; }, [](std::size_t, std::size_t) {});
      return sum;
    }
    case PairMetric::kWrf:
    case PairMetric::kKf: {
      const std::span<const double> la = a.lengths_of(i);
      const std::span<const double> lb = b.lengths_of(j);
      const bool kf = context.metric == PairMetric::kKf;
      const auto term = [kf](double x, double y) { return kf ? (x - y) * (x - y) : std::fabs(x - y); };
      double sum = 0.0;
      merge(
          ia, ib, [&](std::size_t p) { sum += term(la[p], 0.0); },
          [&](std::size_t q) { sum += term(0.0, lb[q]); },
          [&](std::size_t p, std::size_t q) { sum += term(la[p], lb[q]); });
      return kf ? std::sqrt(sum) : sum;
    }
  }
  throw InvariantFailure("unknown pair metric");
}

namespace {

void check_indices(std::span<const std::uint32_t> picked, std::size_t n) {
  for (std::uint32_t t : picked) {
    if (t >= n) throw InvariantFailure("tree index out of range");
  }
}

// Tiles of rows by columns, so that both sides' lists stay in cache; a row
// is counted as finished once the tiles holding it have covered its columns.
template <class Cell, class Value>
void fill_block(std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols, Cell* out,
                RowCounter* rows_done, const Value& value) {
  std::vector<std::atomic<std::size_t>> columns_done(rows_done != nullptr ? rows.size() : 0);
  tbb::parallel_for(
      tbb::blocked_range2d<std::size_t>(0, rows.size(), 0, cols.size()),
      [&](const tbb::blocked_range2d<std::size_t>& range) {
        const std::size_t width = range.cols().size();
        for (std::size_t r = range.rows().begin(); r != range.rows().end() && !stop_requested(); ++r) {
          for (std::size_t c = range.cols().begin(); c != range.cols().end(); ++c) {
            out[r * cols.size() + c] = value(rows[r], cols[c]);
          }
          if (rows_done != nullptr &&
              columns_done[r].fetch_add(width, std::memory_order_relaxed) + width == cols.size())
            count_rows(rows_done, 1);
        }
      });
}

}  // namespace

std::vector<double> log2_double_factorials(std::uint32_t n) {
  std::vector<double> table(std::size_t{n} + 1, 0.0);
  for (std::uint32_t k = 2; k <= n; ++k) table[k] = table[k - 1] + std::log2(2.0 * k - 3.0);
  return table;
}

SplitLists split_lists(std::span<const InternSnap> snaps, bool with_lengths) {
  SplitLists lists;
  lists.offsets.resize(snaps.size() + 1);
  for (std::size_t t = 0; t < snaps.size(); ++t)
    lists.offsets[t + 1] = lists.offsets[t] + snaps[t].n_pendant + snaps[t].ids.size();
  lists.ids.resize(lists.offsets.back());
  if (with_lengths) lists.lengths.resize(lists.offsets.back());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      std::vector<std::uint32_t> order;
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        const InternSnap& snap = snaps[t];
                        const std::size_t count = snap.n_pendant + snap.ids.size();
                        if (with_lengths && snap.lengths.size() != count)
                          throw InvariantFailure("tree without its lengths");
                        const auto id_at = [&](std::size_t p) {
                          return p < snap.n_pendant ? SplitId(p) : snap.ids[p - snap.n_pendant];
                        };
                        order.resize(count);
                        std::iota(order.begin(), order.end(), 0u);
                        std::sort(order.begin(), order.end(),
                                  [&](std::uint32_t x, std::uint32_t y) { return id_at(x) < id_at(y); });
                        const std::size_t base = lists.offsets[t];
                        for (std::size_t p = 0; p < count; ++p) {
                          lists.ids[base + p] = id_at(order[p]);
                          if (with_lengths) lists.lengths[base + p] = snap.lengths[order[p]];
                        }
                      }
                    });
  return lists;
}

SplitLists remapped(const SplitLists& lists, std::span<const SplitId> map) {
  SplitLists out;
  out.offsets = lists.offsets;
  out.ids.resize(lists.ids.size());
  out.lengths.resize(lists.lengths.size());
  const bool with_lengths = !lists.lengths.empty();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, lists.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      std::vector<std::pair<SplitId, double>> entries;
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        const std::span<const SplitId> ids = lists.ids_of(t);
                        const std::span<const double> lengths = lists.lengths_of(t);
                        entries.clear();
                        for (std::size_t p = 0; p < ids.size(); ++p) {
                          if (ids[p] >= map.size()) throw InvariantFailure("split id outside the id map");
                          entries.emplace_back(map[ids[p]], with_lengths ? lengths[p] : 0.0);
                        }
                        std::sort(entries.begin(), entries.end(),
                                  [](const auto& x, const auto& y) { return x.first < y.first; });
                        for (std::size_t p = 0; p < entries.size(); ++p) {
                          out.ids[lists.offsets[t] + p] = entries[p].first;
                          if (with_lengths) out.lengths[lists.offsets[t] + p] = entries[p].second;
                        }
                      }
                    });
  return out;
}

std::vector<SplitId> join_rows(const CladeTable& from, const CladeTable& into) {
  const auto bytes = [](std::span<const LeafId> row) {
    return std::string_view(reinterpret_cast<const char*>(row.data()), row.size_bytes());
  };
  std::unordered_map<std::string_view, SplitId> known;
  known.reserve(into.rows());
  for (std::size_t r = 0; r < into.rows(); ++r) known.emplace(bytes(into.row(r)), static_cast<SplitId>(r));
  std::vector<SplitId> map(from.rows());
  for (std::size_t r = 0; r < from.rows(); ++r) {
    const auto found = known.find(bytes(from.row(r)));
    map[r] = found != known.end() ? found->second : static_cast<SplitId>(into.rows() + r);
  }
  return map;
}

std::vector<double> split_information(const CladeTable& clades, std::uint32_t n_leaves) {
  const std::vector<double> lf = log2_double_factorials(n_leaves);
  std::vector<double> information(clades.rows(), 0.0);
  if (n_leaves < 4) return information;
  for (std::size_t s = 0; s < clades.rows(); ++s)
    information[s] = information_bits(lf, clades.row(s).size(), n_leaves);
  return information;
}

void merge_block(const PairContext& context, const SplitLists& a, std::span<const std::uint32_t> rows,
                 const SplitLists& b, std::span<const std::uint32_t> cols, double* out,
                 RowCounter* rows_done) {
  check_indices(rows, a.size());
  check_indices(cols, b.size());
  fill_block(rows, cols, out, rows_done,
             [&](std::uint32_t i, std::uint32_t j) { return merged_pair(context, a, i, b, j); });
}

void merge_block_rf(const SplitLists& a, std::span<const std::uint32_t> rows, const SplitLists& b,
                    std::span<const std::uint32_t> cols, std::uint32_t n_pendant, std::uint32_t* out,
                    RowCounter* rows_done) {
  check_indices(rows, a.size());
  check_indices(cols, b.size());
  fill_block(rows, cols, out, rows_done, [&](std::uint32_t i, std::uint32_t j) {
    return symmetric_difference(inner(a.ids_of(i), n_pendant), inner(b.ids_of(j), n_pendant));
  });
}

namespace {

// Per tree, (n - 1) own_i + (sum of own - own_i) - 2 shared_i: the sum over the
// other trees of a distance that splits into a per-tree part and a shared
// part.  Rounding may leave a tiny negative where every distance is 0.
std::vector<double> sums_to_others(std::span<const double> own, std::span<const double> shared) {
  const std::size_t n = own.size();
  double total = 0.0;
  for (double x : own) total += x;
  std::vector<double> sums(n);
  for (std::size_t t = 0; t < n; ++t)
    sums[t] = std::max(0.0, double(n - 1) * own[t] + (total - own[t]) - 2.0 * shared[t]);
  return sums;
}

}  // namespace

std::vector<double> rf_sums(const SplitLists& lists, std::span<const std::uint32_t> freq,
                            std::uint32_t n_pendant, std::span<const double> information) {
  const std::size_t n = lists.size();
  const auto weight = [&](SplitId s) {
    return s < n_pendant ? 0.0 : information.empty() ? 1.0 : information[s];
  };
  // Sum over j of d(i, j) = (n - 1) W_i + (W - W_i) - 2 sum over i's splits of w (f - 1).
  std::vector<double> own(n, 0.0);
  std::vector<double> shared(n, 0.0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t t = r.begin(); t != r.end(); ++t) {
      for (SplitId s : lists.ids_of(t)) {
        if (s >= freq.size()) throw InvariantFailure("split id without a tree count");
        own[t] += weight(s);
        shared[t] += weight(s) * double(freq[s] - 1);
      }
    }
  });
  return sums_to_others(own, shared);
}

std::vector<double> kf2_sums(const SplitLists& lists, std::size_t n_ids) {
  const std::size_t n = lists.size();
  // Sum over j of KF(i, j)^2 = (n - 1) Q_i + (Q - Q_i) - 2 sum over i's splits of a (L - a),
  // Q_i the tree's sum of squared lengths, L a split's sum of lengths over all trees.
  std::vector<double> split_sum(n_ids, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    const std::span<const SplitId> ids = lists.ids_of(t);
    const std::span<const double> lengths = lists.lengths_of(t);
    for (std::size_t p = 0; p < ids.size(); ++p) {
      if (ids[p] >= n_ids) throw InvariantFailure("split id outside the set");
      split_sum[ids[p]] += lengths[p];
    }
  }
  std::vector<double> squares(n, 0.0);
  std::vector<double> cross(n, 0.0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t t = r.begin(); t != r.end(); ++t) {
      const std::span<const SplitId> ids = lists.ids_of(t);
      const std::span<const double> lengths = lists.lengths_of(t);
      for (std::size_t p = 0; p < ids.size(); ++p) {
        const double a = lengths[p];
        squares[t] += a * a;
        cross[t] += a * (split_sum[ids[p]] - a);
      }
    }
  });
  return sums_to_others(squares, cross);
}

void group_counts(const SplitLists& lists, std::span<const std::int32_t> groups, std::size_t n_groups,
                  std::uint32_t first, std::size_t n_splits, std::int64_t* out) {
  if (groups.size() != lists.size()) throw InvariantFailure("one group per tree");
  std::fill(out, out + n_groups * n_splits, 0);
  for (std::size_t t = 0; t < lists.size(); ++t) {
    const std::int32_t g = groups[t];
    if (g < 0 || std::size_t(g) >= n_groups) throw InvariantFailure("group out of range");
    for (SplitId s : lists.ids_of(t)) {
      if (s >= first && s - first < n_splits) ++out[std::size_t(g) * n_splits + (s - first)];
    }
  }
}

}  // namespace cladomatic
