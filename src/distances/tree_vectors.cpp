#include "tree_vectors.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <utility>

#include "../primitives/cpu.hpp"
#include "../primitives/row_progress.hpp"
#include "../snapshot/result.hpp"
#include "../summaries/shape.hpp"

namespace cladomatic {
namespace {

// Index of the pair a < b among the n (n - 1) / 2 pairs, row by row.
inline std::size_t pair_index(std::size_t a, std::size_t b, std::size_t n) noexcept {
  return a * (2 * n - a - 1) / 2 + (b - a - 1);
}

}  // namespace

std::size_t tree_vector_size(TreeVectorKind kind, std::uint32_t n_leaves) noexcept {
  const std::size_t n = n_leaves;
  return n * (n - 1) / 2 + (kind == TreeVectorKind::kKc ? n : 0);
}

void tree_vector(const VectorTrees& trees, std::uint32_t tree, TreeVectorMetric metric,
                 std::span<double> out) {
  const std::size_t n = trees.n_leaves;
  if (out.size() != tree_vector_size(metric.kind, trees.n_leaves)) throw InvariantFailure("vector size");
  const InternSnap& snap = trees.snaps[tree];
  const Shape shape = shape_of(*trees.clades, snap.ids, trees.n_leaves);
  const std::size_t nodes = shape.parent.size();

  // Each edge's length: a leaf's pendant length at its index, a split's at
  // n_pendant + its place in ids.
  const bool weighted = metric.kind == TreeVectorKind::kWeightedPath ||
                        (metric.kind == TreeVectorKind::kKc && metric.lambda != 0.0);
  std::vector<double> length(nodes, 0.0);
  if (weighted && !snap.lengths.empty()) {
    std::vector<std::pair<SplitId, std::size_t>> at;
    at.reserve(snap.ids.size());
    for (std::size_t p = 0; p < snap.ids.size(); ++p) at.emplace_back(snap.ids[p], snap.n_pendant + p);
    std::sort(at.begin(), at.end());
    for (std::size_t v = 1; v < nodes; ++v) {
      const SplitId s = shape.split[v];
      std::size_t p = s;
      if (s >= n) {
        const auto found = std::lower_bound(at.begin(), at.end(), std::pair<SplitId, std::size_t>{s, 0});
        if (found == at.end() || found->first != s) throw InvariantFailure("a node without its split");
        p = found->second;
      }
      if (p >= snap.lengths.size()) throw InvariantFailure("a split without its length");
      length[v] = snap.lengths[p];
    }
  }

  // Depths from the root in edges and in length; subtree sizes in nodes and
  // the leaves in preorder, so that a node's leaves are a run of `leaves`.
  std::vector<std::uint32_t> edges(nodes, 0);
  std::vector<double> depth(nodes, 0.0);
  std::vector<std::uint32_t> first_leaf(nodes, 0);
  std::vector<std::uint32_t> leaves;
  leaves.reserve(n);
  for (std::size_t v = 0; v < nodes; ++v) {
    if (v > 0) {
      const std::uint32_t up = shape.parent[v];
      edges[v] = edges[up] + 1;
      depth[v] = depth[up] + length[v];
    }
    first_leaf[v] = static_cast<std::uint32_t>(leaves.size());
    if (v > 0 && shape.split[v] < n) leaves.push_back(shape.split[v]);
  }
  std::vector<std::uint32_t> size(nodes, 1);  // nodes of the subtree
  std::vector<std::uint32_t> leaf_count(nodes, 0);
  for (std::size_t v = nodes; v-- > 1;) {
    if (shape.split[v] < n) leaf_count[v] = 1;
    size[shape.parent[v]] += size[v];
    leaf_count[shape.parent[v]] += leaf_count[v];
  }
  if (leaves.size() != n) throw InvariantFailure("a tree without every leaf");
  std::vector<std::uint32_t> node_of(n, 0);  // each leaf's node
  for (std::size_t v = 1; v < nodes; ++v)
    if (shape.split[v] < n) node_of[shape.split[v]] = static_cast<std::uint32_t>(v);

  const double keep = 1.0 - metric.lambda;
  // Every pair of leaves meets at one node v, below two different children of
  // it: the children of v are v + 1 and each next one a subtree further.
  for (std::size_t v = 0; v < nodes; ++v) {
    if (leaf_count[v] < 2 || size[v] == 1) continue;
    double value = 0.0;
    if (metric.kind == TreeVectorKind::kKc)
      value = keep * static_cast<double>(edges[v]) + metric.lambda * depth[v];
    const std::size_t end = v + size[v];
    for (std::size_t c = v + 1; c < end; c += size[c]) {
      for (std::size_t d = c + size[c]; d < end; d += size[d]) {
        for (std::uint32_t x = first_leaf[c]; x < first_leaf[c] + leaf_count[c]; ++x) {
          for (std::uint32_t y = first_leaf[d]; y < first_leaf[d] + leaf_count[d]; ++y) {
            const std::uint32_t a = std::min(leaves[x], leaves[y]);
            const std::uint32_t b = std::max(leaves[x], leaves[y]);
            double cell = value;
            if (metric.kind == TreeVectorKind::kPath) {
              cell = static_cast<double>(edges[node_of[a]] + edges[node_of[b]] - 2 * edges[v]);
            } else if (metric.kind == TreeVectorKind::kWeightedPath) {
              cell = (depth[node_of[a]] - depth[v]) + (depth[node_of[b]] - depth[v]);
            }
            out[pair_index(a, b, n)] = cell;
          }
        }
      }
    }
  }
  if (metric.kind == TreeVectorKind::kKc) {
    const std::size_t pairs = n * (n - 1) / 2;
    for (std::size_t leaf = 0; leaf < n; ++leaf)
      out[pairs + leaf] = keep * 1.0 + metric.lambda * length[node_of[leaf]];
  }
}

namespace {

// Kernels of one instruction set each; the integer ones are exact, and the
// floating ones do the same operations lane by lane whatever the width, so
// every choice gives the same bits.

// Sum over the vector of squared differences of small integers (below 2^15
// in magnitude), exact: int16 differences, their squares summed by pairs
// into 32-bit lanes (pmaddwd), moved into a 64-bit total every `flush`
// steps, before a lane can overflow.
[[gnu::always_inline]] inline double int_distance_scalar(const std::int16_t* a, const std::int16_t* b,
                                                         std::size_t length) noexcept {
  std::int64_t total = 0;
  for (std::size_t k = 0; k < length; ++k) {
    const std::int64_t d = std::int64_t{a[k]} - b[k];
    total += d * d;
  }
  return std::sqrt(static_cast<double>(total));
}

#if CLADOMATIC_X86_KERNELS
inline std::int64_t lanes_sum(__m128i acc) noexcept {
  alignas(16) std::int32_t lane[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane), acc);
  return std::int64_t{lane[0]} + lane[1] + lane[2] + lane[3];
}

double int_distance_sse2(const std::int16_t* a, const std::int16_t* b, std::size_t length,
                         std::size_t flush) noexcept {
  std::int64_t total = 0;
  std::size_t k = 0;
  while (k + 8 <= length) {
    __m128i acc = _mm_setzero_si128();
    const std::size_t end = std::min(length / 8 * 8, k + 8 * flush);
    for (; k < end; k += 8) {
      const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k)));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(d, d));
    }
    total += lanes_sum(acc);
  }
  for (; k < length; ++k) {
    const std::int64_t d = std::int64_t{a[k]} - b[k];
    total += d * d;
  }
  return std::sqrt(static_cast<double>(total));
}

[[gnu::target("avx2")]] double int_distance_avx2(const std::int16_t* a, const std::int16_t* b,
                                                 std::size_t length, std::size_t flush) noexcept {
  std::int64_t total = 0;
  std::size_t k = 0;
  while (k + 16 <= length) {
    __m256i acc = _mm256_setzero_si256();
    const std::size_t end = std::min(length / 16 * 16, k + 16 * flush);
    for (; k < end; k += 16) {
      const __m256i d = _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k)));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
    }
    total += lanes_sum(_mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1)));
  }
  for (; k < length; ++k) {
    const std::int64_t d = std::int64_t{a[k]} - b[k];
    total += d * d;
  }
  return std::sqrt(static_cast<double>(total));
}

// The dot products of one vector with four others, exact: the squared
// distance is then |x|^2 + |y|^2 - 2 x.y in integers, the same number as the
// sum of squared differences, for a third of the work per pair: each chunk
// of x is loaded once for four columns, and a product needs no difference.
[[gnu::target("avx2")]] void int_dots4_avx2(const std::int16_t* x, const std::int16_t* const* y,
                                            std::size_t length, std::size_t flush,
                                            std::int64_t* dot) noexcept {
  std::int64_t total[4] = {0, 0, 0, 0};
  std::size_t k = 0;
  while (k + 16 <= length) {
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    const std::size_t end = std::min(length / 16 * 16, k + 16 * flush);
    for (; k < end; k += 16) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + k));
      for (int l = 0; l < 4; ++l)
        acc[l] = _mm256_add_epi32(
            acc[l], _mm256_madd_epi16(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y[l] + k))));
    }
    for (int l = 0; l < 4; ++l)
      total[l] +=
          lanes_sum(_mm_add_epi32(_mm256_castsi256_si128(acc[l]), _mm256_extracti128_si256(acc[l], 1)));
  }
  for (; k < length; ++k)
    for (int l = 0; l < 4; ++l) total[l] += std::int64_t{x[k]} * y[l][k];
  std::copy_n(total, 4, dot);
}
#endif

std::int64_t squared_norm(const std::int16_t* x, std::size_t length) noexcept {
  std::int64_t total = 0;
  for (std::size_t k = 0; k < length; ++k) total += std::int64_t{x[k]} * x[k];
  return total;
}

[[gnu::always_inline]] inline double double_distance(const double* x, const double* y,
                                                     std::size_t size) noexcept {
  double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  const std::size_t whole = size / 8 * 8;
  for (std::size_t k = 0; k < whole; k += 8) {
    for (std::size_t l = 0; l < 8; ++l) {
      const double d = x[k + l] - y[k + l];
      lane[l] += d * d;
    }
  }
  for (std::size_t k = whole; k < size; ++k) {
    const double d = x[k] - y[k];
    lane[k - whole] += d * d;
  }
  const double sum =
      ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
  return std::sqrt(sum);
}

double double_distance_baseline(const double* x, const double* y, std::size_t size) noexcept {
  return double_distance(x, y, size);
}

#if CLADOMATIC_X86_KERNELS
[[gnu::target("avx2")]] double double_distance_avx2(const double* x, const double* y,
                                                    std::size_t size) noexcept {
  return double_distance(x, y, size);
}
#endif

// How a block computes its cells: integer vectors when every entry is a
// small integer (topological Kendall-Colijn and path lengths in edges),
// doubles otherwise.
struct Kernel {
  bool integral = false;
  bool avx2 = false;
  std::size_t length = 0;
  std::size_t flush = 1;  // integer steps per 32-bit lane between moves to the total

  double operator()(const void* x, const void* y) const noexcept {
    if (integral) {
      const auto* a = static_cast<const std::int16_t*>(x);
      const auto* b = static_cast<const std::int16_t*>(y);
#if CLADOMATIC_X86_KERNELS
      return avx2 ? int_distance_avx2(a, b, length, flush) : int_distance_sse2(a, b, length, flush);
#else
      return int_distance_scalar(a, b, length);
#endif
    }
    const auto* a = static_cast<const double*>(x);
    const auto* b = static_cast<const double*>(y);
#if CLADOMATIC_X86_KERNELS
    if (avx2) return double_distance_avx2(a, b, length);
#endif
    return double_distance_baseline(a, b, length);
  }
  std::size_t bytes() const noexcept { return length * (integral ? sizeof(std::int16_t) : sizeof(double)); }
};

// The vectors of `trees` into `out` (kernel.bytes() each), in parallel.
void make_vectors(const VectorTrees& set, std::span<const std::uint32_t> trees, TreeVectorMetric metric,
                  const Kernel& kernel, std::byte* out) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, trees.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::vector<double> scratch(kernel.length);
                      for (std::size_t t = range.begin(); t != range.end() && !stop_requested(); ++t) {
                        std::byte* to = out + t * kernel.bytes();
                        if (!kernel.integral) {
                          tree_vector(set, trees[t], metric, {reinterpret_cast<double*>(to), kernel.length});
                          continue;
                        }
                        tree_vector(set, trees[t], metric, scratch);
                        auto* cells = reinterpret_cast<std::int16_t*>(to);
                        for (std::size_t k = 0; k < kernel.length; ++k)
                          cells[k] = static_cast<std::int16_t>(scratch[k]);
                      }
                    });
}

// Vectors of a stretch of trees kept at once, and the columns' vectors of a
// task's tile (half a core's 1-2 MiB second-level cache: they stay there
// while the task's rows pass).
constexpr std::size_t kStretchBytes = std::size_t{32} << 20;
constexpr std::size_t kTileBytes = std::size_t{512} << 10;

}  // namespace

double vector_distance(std::span<const double> a, std::span<const double> b) noexcept {
  return double_distance_baseline(a.data(), b.data(), a.size());
}

void tree_vector_block(const VectorTrees& a, const VectorTrees& b, TreeVectorMetric metric, Block block,
                       double* out) {
  if (a.n_leaves != b.n_leaves) throw InvariantFailure("the two sets have different leaves");
  check_block(block, a.snaps.size(), b.snaps.size());
  const std::size_t height = block.rows.size();
  const std::size_t width = block.cols.size();
  if (height == 0 || width == 0) {
    count_rows(block.rows_done, height);
    return;
  }
  Kernel kernel;
  kernel.length = tree_vector_size(metric.kind, a.n_leaves);
  // Entries are at most 2n edges: int16 up to 16,383 leaves.
  const std::uint64_t largest = 2 * std::uint64_t{a.n_leaves};
  kernel.integral = (metric.kind == TreeVectorKind::kPath ||
                     (metric.kind == TreeVectorKind::kKc && metric.lambda == 0.0)) &&
                    largest < 32768;
  kernel.flush = std::max<std::uint64_t>(1, 0x7FFFFFFFull / (2 * largest * largest));
#if CLADOMATIC_X86_KERNELS
  kernel.avx2 = cpu_features().avx2;
#endif
  // The rows are the columns, of one set: each pair once, from the diagonal
  // on, and copied across it at the end.
  const bool symmetric = a.snaps.data() == b.snaps.data() && height == width &&
                         std::equal(block.rows.begin(), block.rows.end(), block.cols.begin());
  const std::size_t bytes = std::max<std::size_t>(kernel.bytes(), 1);
  const std::size_t stretch = std::max<std::size_t>(1, kStretchBytes / bytes);
  const std::size_t tile = std::clamp<std::size_t>(kTileBytes / bytes, 4, 256);
  std::vector<std::byte> columns(std::min(stretch, width) * kernel.bytes());
  std::vector<std::int64_t> column_norms;  // |y|^2 of the integer vectors of the columns
  std::vector<std::byte> rows_kept(symmetric ? 0 : std::min(stretch, height) * kernel.bytes());
  for (std::size_t c0 = 0; c0 < width && !stop_requested(); c0 += stretch) {
    const std::size_t c1 = std::min(c0 + stretch, width);
    const bool last_columns = c1 == width;
    make_vectors(b, block.cols.subspan(c0, c1 - c0), metric, kernel, columns.data());
    const std::size_t row_end = symmetric ? c1 : height;
    for (std::size_t r0 = 0; r0 < row_end && !stop_requested(); r0 += stretch) {
      const std::size_t r1 = std::min(r0 + stretch, row_end);
      const std::byte* row_vectors = columns.data();
      if (!(symmetric && r0 == c0)) {
        if (rows_kept.size() < (r1 - r0) * kernel.bytes()) rows_kept.resize((r1 - r0) * kernel.bytes());
        make_vectors(a, block.rows.subspan(r0, r1 - r0), metric, kernel, rows_kept.data());
        row_vectors = rows_kept.data();
      }
      if (stop_requested()) return;
      const bool by_dots = kernel.integral && kernel.avx2;
      if (by_dots) {
        column_norms.resize(c1 - c0);
        for (std::size_t c = c0; c < c1; ++c)
          column_norms[c - c0] =
              squared_norm(reinterpret_cast<const std::int16_t*>(columns.data() + (c - c0) * kernel.bytes()),
                           kernel.length);
      }
      tbb::parallel_for(
          tbb::blocked_range<std::size_t>(r0, r1, 4), [&](const tbb::blocked_range<std::size_t>& range) {
            for (std::size_t t0 = c0; t0 < c1 && !stop_requested(); t0 += tile) {
              const std::size_t t1 = std::min(t0 + tile, c1);
              for (std::size_t r = range.begin(); r != range.end(); ++r) {
                const std::byte* x = row_vectors + (r - r0) * kernel.bytes();
                double* cells = out + r * width;
                std::size_t c = symmetric ? std::max(t0, r) : t0;
#if CLADOMATIC_X86_KERNELS
                if (by_dots && c + 4 <= t1) {
                  const auto* row = reinterpret_cast<const std::int16_t*>(x);
                  const std::int64_t own = squared_norm(row, kernel.length);
                  for (; c + 4 <= t1; c += 4) {
                    const std::int16_t* four[4];
                    for (std::size_t l = 0; l < 4; ++l)
                      four[l] = reinterpret_cast<const std::int16_t*>(columns.data() +
                                                                      (c + l - c0) * kernel.bytes());
                    std::int64_t dot[4];
                    int_dots4_avx2(row, four, kernel.length, kernel.flush, dot);
                    for (std::size_t l = 0; l < 4; ++l)
                      cells[c + l] =
                          std::sqrt(static_cast<double>(own + column_norms[c + l - c0] - 2 * dot[l]));
                  }
                }
#endif
                for (; c < t1; ++c) cells[c] = kernel(x, columns.data() + (c - c0) * kernel.bytes());
              }
            }
          });
      if (last_columns) count_rows(block.rows_done, r1 - r0);
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
