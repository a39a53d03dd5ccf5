#include "quartets.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "../primitives/cpu.hpp"
#include "../primitives/row_progress.hpp"
#include "../snapshot/result.hpp"
#include "../summaries/shape.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

inline std::int64_t pairs_of(std::int64_t x) noexcept {
  return x * (x - 1) / 2;
}

std::uint64_t quartets_of(std::uint64_t n) noexcept {
  return n < 4 ? 0 : n * (n - 1) / 2 * (n - 2) / 3 * (n - 3) / 4;
}

// A tree hung from leaf 0.  Its internal nodes are numbered in postorder (the
// top, next to leaf 0, last), children heaviest first so that the stack of
// rows in `count` stays short.  A node other than the top and leaf 0 has a
// slot: its column in the rows of a tree compared with this one.  In a binary
// tree child k of node t has slot k * m + t, so that a row's first children
// and second children are two runs; otherwise a node's children have
// consecutive slots.
struct Hung {
  std::uint32_t n = 0;
  bool binary = false;
  std::uint64_t resolved = 0;            // quartets with a resolved topology
  std::vector<std::uint32_t> order;      // every node but leaf 0, in postorder: a leaf's index, or n + t
  std::vector<std::uint32_t> first;      // children of node t at kids[first[t] .. first[t + 1])
  std::vector<std::uint32_t> kids;       // a leaf's index, or n + t
  std::vector<std::uint32_t> slot;       // beside kids
  std::vector<std::uint32_t> size;       // per node t: leaves below it
  std::vector<std::uint32_t> slot_size;  // per slot: leaves below its node
  std::vector<std::uint32_t> slot_up;    // per slot: its parent's slot, kNone below the top
  std::vector<std::uint32_t> leaf_slot;  // per leaf (leaf 0: kNone)

  std::uint32_t internal() const noexcept { return static_cast<std::uint32_t>(size.size()); }
};

Hung hang(const VectorTrees& trees, std::uint32_t tree) {
  Hung hung;
  const std::uint32_t n = trees.n_leaves;
  hung.n = n;
  if (n < 4) return hung;
  const Shape shape = shape_of(*trees.clades, trees.snaps[tree].ids, n);
  const std::size_t nodes = shape.parent.size();
  const auto is_leaf = [&](std::size_t v) { return v > 0 && shape.split[v] < n; };
  std::vector<std::uint32_t> below(nodes, 0);
  std::vector<std::uint32_t> degree(nodes + 1, 0);
  for (std::size_t v = nodes; v-- > 1;) {
    if (is_leaf(v)) below[v] = shape.split[v] == 0 ? 0 : 1;
    below[shape.parent[v]] += below[v];
    if (!(is_leaf(v) && shape.split[v] == 0)) ++degree[shape.parent[v] + 1];
  }
  for (std::size_t v = 0; v < nodes; ++v) degree[v + 1] += degree[v];
  std::vector<std::uint32_t> children(degree[nodes]);
  {
    std::vector<std::uint32_t> at(degree.begin(), degree.end() - 1);
    for (std::size_t v = 1; v < nodes; ++v)
      if (!(is_leaf(v) && shape.split[v] == 0))
        children[at[shape.parent[v]]++] = static_cast<std::uint32_t>(v);
  }
  for (std::size_t v = 0; v < nodes; ++v)
    std::stable_sort(children.begin() + degree[v], children.begin() + degree[v + 1],
                     [&](std::uint32_t x, std::uint32_t y) { return below[x] > below[y]; });

  // Postorder, without recursion: a caterpillar is as deep as it has leaves.
  std::vector<std::uint32_t> number(nodes, kNone);
  std::vector<std::uint32_t> node_of;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{0u, degree[0]}};
  hung.order.reserve(nodes);
  while (!stack.empty()) {
    const std::uint32_t v = stack.back().first;
    if (stack.back().second < degree[v + 1]) {
      const std::uint32_t w = children[stack.back().second++];
      if (is_leaf(w)) {
        hung.order.push_back(shape.split[w]);
      } else {
        stack.emplace_back(w, degree[w]);
      }
      continue;
    }
    number[v] = static_cast<std::uint32_t>(node_of.size());
    hung.order.push_back(n + number[v]);
    node_of.push_back(v);
    stack.pop_back();
  }

  const auto m = static_cast<std::uint32_t>(node_of.size());
  const auto code = [&](std::uint32_t w) { return is_leaf(w) ? shape.split[w] : n + number[w]; };
  hung.binary = true;
  hung.first.push_back(0);
  for (std::uint32_t t = 0; t < m; ++t) {
    const std::uint32_t v = node_of[t];
    hung.binary = hung.binary && degree[v + 1] - degree[v] == 2;
    for (std::uint32_t k = degree[v]; k < degree[v + 1]; ++k) hung.kids.push_back(code(children[k]));
    hung.first.push_back(static_cast<std::uint32_t>(hung.kids.size()));
    hung.size.push_back(below[v]);
  }
  const std::size_t slots = hung.kids.size();
  hung.slot.resize(slots);
  hung.slot_size.resize(slots);
  hung.slot_up.assign(slots, kNone);
  hung.leaf_slot.assign(n, kNone);
  std::vector<std::uint32_t> slot_of_node(m, kNone);
  for (std::uint32_t t = 0; t < m; ++t) {
    for (std::uint32_t k = hung.first[t]; k < hung.first[t + 1]; ++k) {
      const std::uint32_t s = hung.binary ? (k - hung.first[t]) * m + t : k;
      const std::uint32_t child = hung.kids[k];
      hung.slot[k] = s;
      if (child < n) {
        hung.slot_size[s] = 1;
        hung.leaf_slot[child] = s;
      } else {
        hung.slot_size[s] = hung.size[child - n];
        slot_of_node[child - n] = s;
      }
    }
  }
  for (std::uint32_t t = 0; t < m; ++t)
    for (std::uint32_t k = hung.first[t]; k < hung.first[t + 1]; ++k)
      hung.slot_up[hung.slot[k]] = slot_of_node[t];

  // Each resolved quartet is claimed at two nodes: the pairs in two different
  // branches of a node, times the pairs in a third.
  std::uint64_t claims = 0;
  for (std::uint32_t t = 0; t < m; ++t) {
    std::vector<std::int64_t> branch{static_cast<std::int64_t>(n - hung.size[t])};
    for (std::uint32_t k = hung.first[t]; k < hung.first[t + 1]; ++k)
      branch.push_back(hung.slot_size[hung.slot[k]]);
    std::int64_t together = 0;
    for (std::int64_t b : branch) together += pairs_of(b);
    for (std::int64_t b : branch)
      claims += static_cast<std::uint64_t>(pairs_of(b) * (pairs_of(n - b) - (together - pairs_of(b))));
  }
  hung.resolved = claims / 2;
  return hung;
}

// Four times the quartets two binary trees resolve the same way among those
// claimed at node u1 of the first (children's rows r0, r1 over the second's
// slots, of s0 and s1 leaves) and every node of the second: for each branch
// e1 of u1 and e2 of u2, x (x - 1) times the pairs of leaves in different
// branches of both, outside e1 and e2, x being the leaves in both e1 and e2.
// Exact in Acc's modular arithmetic while the true total fits.
template <class Acc>
[[gnu::always_inline]] inline Acc binary_claims(const std::uint32_t* r0, const std::uint32_t* r1,
                                                std::uint32_t s0, std::uint32_t s1,
                                                const std::uint32_t* size_a, const std::uint32_t* size_b,
                                                std::uint32_t m, std::uint32_t n) noexcept {
  Acc total = 0;
  const Acc rest = static_cast<Acc>(n) - s0 - s1;
  for (std::uint32_t u = 0; u < m; ++u) {
    const Acc p = r0[u], q = r0[m + u], r = r1[u], s = r1[m + u];
    const Acc a = size_a[u], b = size_b[u];
    const Acc i02 = s0 - p - q, i12 = s1 - r - s, i20 = a - p - r, i21 = b - q - s;
    const Acc i22 = rest - a - b + p + q + r + s;
    total += p * (p - 1) * (s * i22 + i12 * i21) + q * (q - 1) * (r * i22 + i12 * i20) +
             i02 * (i02 - 1) * (r * i21 + s * i20) + r * (r - 1) * (q * i22 + i02 * i21) +
             s * (s - 1) * (p * i22 + i02 * i20) + i12 * (i12 - 1) * (p * i21 + q * i20) +
             i20 * (i20 - 1) * (q * i12 + i02 * s) + i21 * (i21 - 1) * (p * i12 + i02 * r) +
             i22 * (i22 - 1) * (p * s + q * r);
  }
  return total;
}

using BinaryClaims = std::uint64_t (*)(const std::uint32_t*, const std::uint32_t*, std::uint32_t,
                                       std::uint32_t, const std::uint32_t*, const std::uint32_t*,
                                       std::uint32_t, std::uint32_t);

template <class Acc>
std::uint64_t binary_claims_baseline(const std::uint32_t* r0, const std::uint32_t* r1, std::uint32_t s0,
                                     std::uint32_t s1, const std::uint32_t* a, const std::uint32_t* b,
                                     std::uint32_t m, std::uint32_t n) noexcept {
  return binary_claims<Acc>(r0, r1, s0, s1, a, b, m, n);
}

#if CLADOMATIC_X86_KERNELS
template <class Acc>
[[gnu::target("avx2")]] std::uint64_t binary_claims_avx2(const std::uint32_t* r0, const std::uint32_t* r1,
                                                         std::uint32_t s0, std::uint32_t s1,
                                                         const std::uint32_t* a, const std::uint32_t* b,
                                                         std::uint32_t m, std::uint32_t n) noexcept {
  return binary_claims<Acc>(r0, r1, s0, s1, a, b, m, n);
}
#endif

// 32-bit lanes while four times C(n, 4) fits in them.
BinaryClaims pick_binary_claims(std::uint32_t n) {
  const bool narrow = 4 * quartets_of(n) <= 0xFFFFFFFFull;
#if CLADOMATIC_X86_KERNELS
  if (cpu_features().avx2)
    return narrow ? binary_claims_avx2<std::uint32_t> : binary_claims_avx2<std::uint64_t>;
#endif
  return narrow ? binary_claims_baseline<std::uint32_t> : binary_claims_baseline<std::uint64_t>;
}

// A nonzero entry of the branch-by-branch matrix of a node pair: the leaves in
// branch i of u1 and branch j of u2.
struct Entry {
  std::uint32_t i = 0;
  std::uint32_t j = 0;
  std::int64_t x = 0;
};

// Per node pair of the general form: the matrix's nonzero entries and the sums
// its counts are made of.  Most entries of two unrelated nodes are 0, so every
// sum is taken over the nonzero ones, from closed forms where a 0 contributes.
struct Scratch {
  std::vector<std::uint32_t> rows;   // the stack of rows, each over the second tree's slots
  std::vector<std::uint32_t> sizes;  // leaves below each row's node
  std::vector<Entry> entries;
  std::vector<std::int64_t> row_sum, col_sum, col_met, sums;
};

struct Claims {
  std::int64_t same = 0;       // 2 s: claims of quartets both trees resolve the same way, in pairs
  std::int64_t different = 0;  // 4 d: of quartets both resolve, differently
};

// Claims at node u1 (rows: its children, then the rest) and u2 (columns: its
// children, then the rest) of the d1 x d2 matrix whose nonzero entries are in
// scratch.entries, its row and column sums in row_sum and col_sum.
void general_claims(std::size_t d1, std::size_t d2, std::int64_t n, Scratch& w, Claims& claims) {
  const std::int64_t* rs = w.row_sum.data();
  const std::int64_t* cs = w.col_sum.data();
  std::int64_t row_pairs_all = 0;
  std::int64_t col_pairs_all = 0;
  for (std::size_t i = 0; i < d1; ++i) row_pairs_all += pairs_of(rs[i]);
  for (std::size_t j = 0; j < d2; ++j) col_pairs_all += pairs_of(cs[j]);
  // One buffer for every sum, zeroed at once: the matrix, then four sums per
  // row and four per column.
  const std::size_t cells = d1 * d2;
  w.sums.assign(cells + 4 * (d1 + d2), 0);
  std::int64_t* dense = w.sums.data();
  std::int64_t* row_pairs = dense + cells;
  std::int64_t* row_rest = row_pairs + d1;  // pairs within a column, the row left out
  std::int64_t* row_by_col = row_rest + d1;
  std::int64_t* row_squares = row_by_col + d1;
  std::int64_t* col_pairs = row_squares + d1;
  std::int64_t* col_rest = col_pairs + d2;
  std::int64_t* col_by_row = col_rest + d2;
  std::int64_t* col_squares = col_by_row + d2;
  std::fill(row_rest, row_rest + d1, col_pairs_all);
  std::fill(col_rest, col_rest + d2, row_pairs_all);
  std::int64_t all_pairs = 0;
  for (const Entry& e : w.entries) {
    const std::int64_t x = e.x;
    const std::int64_t p = pairs_of(x);
    dense[e.i * d2 + e.j] = x;
    all_pairs += p;
    row_pairs[e.i] += p;
    col_pairs[e.j] += p;
    row_rest[e.i] += pairs_of(cs[e.j] - x) - pairs_of(cs[e.j]);
    col_rest[e.j] += pairs_of(rs[e.i] - x) - pairs_of(rs[e.i]);
    row_by_col[e.i] += x * cs[e.j];
    col_by_row[e.j] += x * rs[e.i];
    row_squares[e.i] += x * x;
    col_squares[e.j] += x * x;
  }
  // Ordered 4-cycles p, q, r, s with p, q in one column, q, r in one row, r, s
  // in one column and s, p in one row: the squared Frobenius norm of I I^T
  // (or I^T I, over the shorter side).
  const bool by_rows = d1 <= d2;
  const std::size_t side = by_rows ? d1 : d2;
  const std::size_t along = by_rows ? d2 : d1;
  const std::size_t step_k = by_rows ? d2 : 1;
  const std::size_t step_l = by_rows ? 1 : d2;
  std::int64_t cycles = 0;
  for (std::size_t k = 0; k < side; ++k) {
    for (std::size_t k2 = k; k2 < side; ++k2) {
      std::int64_t g = 0;
      for (std::size_t l = 0; l < along; ++l)
        g += dense[k * step_k + l * step_l] * dense[k2 * step_k + l * step_l];
      cycles += (k == k2 ? 1 : 2) * g * g;
    }
  }
  std::int64_t same = 0;
  std::int64_t different = cycles;
  for (const Entry& e : w.entries) {
    const std::int64_t x = e.x;
    const std::int64_t re = rs[e.i];
    const std::int64_t ce = cs[e.j];
    const std::int64_t outside = n - re - ce + x;  // leaves in neither e1 nor e2
    if (x >= 2) {
      // Pairs outside e1 and e2 in different rows and different columns.
      const std::int64_t split = pairs_of(outside) - (col_rest[e.j] - pairs_of(re - x)) -
                                 (row_rest[e.i] - pairs_of(ce - x)) +
                                 (all_pairs - row_pairs[e.i] - col_pairs[e.j] + pairs_of(x));
      same += pairs_of(x) * split;
    }
    // d in e1 and e2, c in e1 only, b in e2 only, a in neither, each pair of
    // a, b and a, c in different branches; the 4-cycles term added above.
    const std::int64_t y = ce - x;
    const std::int64_t z = re - x;
    const std::int64_t y_rows = col_by_row[e.j] - x * re;
    const std::int64_t z_cols = row_by_col[e.i] - x * ce;
    const std::int64_t y_squares = col_squares[e.j] - x * x;
    const std::int64_t z_squares = row_squares[e.i] - x * x;
    const std::int64_t terms = outside * y * z - y_rows * z - y * z_cols + y * z_squares + y_squares * z -
                               x * row_squares[e.i] - x * col_squares[e.j] + x * x * x;
    different += x * terms;
  }
  claims.same += same;
  claims.different += different;
}

std::uint64_t count(const Hung& one, const Hung& two, BinaryClaims binary, Scratch& w) {
  const std::uint32_t n = one.n;
  if (n < 4) return 0;
  const std::size_t width = two.kids.size();
  const std::uint32_t m2 = two.internal();
  const bool both_binary = one.binary && two.binary;
  std::uint64_t binary_total = 0;
  Claims claims;
  std::size_t depth = 0;
  for (const std::uint32_t item : one.order) {
    if (item < n) {
      if (w.rows.size() < (depth + 1) * width) w.rows.resize((depth + 1) * width);
      std::uint32_t* row = w.rows.data() + depth * width;
      std::fill(row, row + width, 0u);
      for (std::uint32_t s = two.leaf_slot[item]; s != kNone; s = two.slot_up[s]) row[s] = 1;
      if (w.sizes.size() <= depth) w.sizes.resize(depth + 1);
      w.sizes[depth++] = 1;
      continue;
    }
    const std::uint32_t t = item - n;
    const std::size_t k1 = one.first[t + 1] - one.first[t];
    const std::size_t base = depth - k1;
    std::uint32_t* rows = w.rows.data() + base * width;
    const std::uint32_t* sizes = w.sizes.data() + base;
    if (both_binary) {
      binary_total += binary(rows, rows + width, sizes[0], sizes[1], two.slot_size.data(),
                             two.slot_size.data() + m2, m2, n);
    } else {
      const std::size_t d1 = k1 + 1;
      std::int64_t below1 = 0;
      for (std::size_t i = 0; i < k1; ++i) below1 += sizes[i];
      w.row_sum.resize(d1);
      for (std::size_t i = 0; i < k1; ++i) w.row_sum[i] = sizes[i];
      w.row_sum[k1] = n - below1;
      for (std::uint32_t u = 0; u < m2; ++u) {
        const std::uint32_t* kid_slot = two.slot.data() + two.first[u];
        const std::size_t k2 = two.first[u + 1] - two.first[u];
        const std::size_t d2 = k2 + 1;
        w.entries.clear();
        w.col_sum.resize(d2);
        for (std::size_t j = 0; j < k2; ++j) w.col_sum[j] = two.slot_size[kid_slot[j]];
        w.col_sum[k2] = n - static_cast<std::int64_t>(two.size[u]);
        w.col_met.assign(d2, 0);
        std::int64_t inside = 0;
        for (std::size_t i = 0; i < k1; ++i) {
          const std::uint32_t* row = rows + i * width;
          std::int64_t met = 0;
          for (std::size_t j = 0; j < k2; ++j) {
            const std::int64_t x = row[kid_slot[j]];
            if (x == 0) continue;
            w.entries.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), x});
            met += x;
            w.col_met[j] += x;
          }
          if (sizes[i] > met)
            w.entries.push_back(
                {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k2), sizes[i] - met});
          inside += met;
        }
        // Subtrees without a common leaf: every branch of u1 but the rest lies
        // in u2's rest and the other way round, which leaves no claim at both.
        if (inside == 0) continue;
        for (std::size_t j = 0; j < k2; ++j)
          if (w.col_sum[j] > w.col_met[j])
            w.entries.push_back(
                {static_cast<std::uint32_t>(k1), static_cast<std::uint32_t>(j), w.col_sum[j] - w.col_met[j]});
        const std::int64_t corner = n - below1 - two.size[u] + inside;
        if (corner > 0)
          w.entries.push_back({static_cast<std::uint32_t>(k1), static_cast<std::uint32_t>(k2), corner});
        general_claims(d1, d2, n, w, claims);
      }
    }
    // The node's row: the sum of its children's.
    std::uint32_t total = sizes[0];
    for (std::size_t i = 1; i < k1; ++i) {
      const std::uint32_t* add = rows + i * width;
      for (std::size_t s = 0; s < width; ++s) rows[s] += add[s];
      total += sizes[i];
    }
    w.sizes[base] = total;
    depth = base + 1;
  }
  if (both_binary) return quartets_of(n) - binary_total / 4;
  return one.resolved + two.resolved - static_cast<std::uint64_t>(claims.same) -
         static_cast<std::uint64_t>(claims.different) / 4;
}

void check_leaves(const VectorTrees& a, const VectorTrees& b) {
  if (a.n_leaves != b.n_leaves) throw InvariantFailure("the two sets have different leaves");
  if (a.n_leaves > kQuartetMaxLeaves) throw InvariantFailure("too many leaves for quartet counts");
}

// Trees hung at once: a stretch of the columns and one of the rows.
constexpr std::size_t kStretchBytes = std::size_t{32} << 20;

void hang_all(const VectorTrees& set, std::span<const std::uint32_t> trees, std::vector<Hung>& out) {
  out.resize(trees.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, trees.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t t = range.begin(); t != range.end() && !stop_requested(); ++t)
                        out[t] = hang(set, trees[t]);
                    });
}

}  // namespace

std::uint64_t quartet_distance(const VectorTrees& a, std::uint32_t ta, const VectorTrees& b,
                               std::uint32_t tb) {
  check_leaves(a, b);
  if (ta >= a.snaps.size() || tb >= b.snaps.size()) throw InvariantFailure("tree out of range");
  Scratch scratch;
  return count(hang(a, ta), hang(b, tb), pick_binary_claims(a.n_leaves), scratch);
}

void quartet_block(const VectorTrees& a, const VectorTrees& b, bool normalised, Block block, double* out) {
  check_leaves(a, b);
  check_block(block, a.snaps.size(), b.snaps.size());
  const std::size_t height = block.rows.size();
  const std::size_t width = block.cols.size();
  if (height == 0 || width == 0) {
    count_rows(block.rows_done, height);
    return;
  }
  const std::uint64_t all = quartets_of(a.n_leaves);
  const BinaryClaims binary = pick_binary_claims(a.n_leaves);
  const auto cell = [&](std::uint64_t differ) {
    if (!normalised) return static_cast<double>(differ);
    return all == 0 ? 0.0 : static_cast<double>(differ) / static_cast<double>(all);
  };
  // Rows equal to the columns, of one set: each pair once, copied across the
  // diagonal at the end.
  const bool symmetric = a.snaps.data() == b.snaps.data() && height == width &&
                         std::equal(block.rows.begin(), block.rows.end(), block.cols.begin());
  const std::size_t per_tree = 48 * std::size_t{a.n_leaves} + 256;
  const std::size_t stretch = std::max<std::size_t>(1, kStretchBytes / per_tree);
  std::vector<Hung> columns;
  std::vector<Hung> rows_kept;
  for (std::size_t c0 = 0; c0 < width && !stop_requested(); c0 += stretch) {
    const std::size_t c1 = std::min(c0 + stretch, width);
    hang_all(b, block.cols.subspan(c0, c1 - c0), columns);
    const std::size_t row_end = symmetric ? c1 : height;
    for (std::size_t r0 = 0; r0 < row_end && !stop_requested(); r0 += stretch) {
      const std::size_t r1 = std::min(r0 + stretch, row_end);
      const std::vector<Hung>* row_trees = &columns;
      if (!(symmetric && r0 == c0)) {
        hang_all(a, block.rows.subspan(r0, r1 - r0), rows_kept);
        row_trees = &rows_kept;
      }
      if (stop_requested()) return;
      tbb::parallel_for(tbb::blocked_range<std::size_t>(r0, r1, 1),
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          Scratch scratch;
                          for (std::size_t r = range.begin(); r != range.end() && !stop_requested(); ++r) {
                            const Hung& one = (*row_trees)[r - r0];
                            double* cells = out + r * width;
                            for (std::size_t c = symmetric ? std::max(c0, r) : c0; c < c1; ++c)
                              cells[c] = cell(count(one, columns[c - c0], binary, scratch));
                          }
                        });
      if (c1 == width) count_rows(block.rows_done, r1 - r0);
    }
  }
  if (!symmetric || stop_requested()) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(1, height),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end(); ++r)
                        for (std::size_t c = 0; c < r; ++c) out[r * width + c] = out[c * width + r];
                    });
}

}  // namespace cladomatic
