#include "ccd.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <optional>
#include <string>

#include "shape.hpp"

namespace cladomatic {
namespace {

bool split_less(const CcdSplit& a, const CcdSplit& b) noexcept {
  if (a.parent != b.parent) return a.parent < b.parent;
  if (a.first != b.first) return a.first < b.first;
  return a.second < b.second;
}

}  // namespace

std::optional<std::vector<CcdSplit>> tree_nodes(const CladeTable& clades, const InternSnap& snap,
                                                std::uint32_t n_leaves, CladeId root,
                                                std::span<const CladeId> ids) {
  const Shape shape = shape_of(clades, snap.ids, n_leaves);
  const std::size_t n = shape.parent.size();
  std::vector<std::uint32_t> children(n, 0);
  std::vector<std::uint32_t> first(n, 0);
  std::vector<std::uint32_t> second(n, 0);
  for (std::size_t v = 1; v < n; ++v) {
    const std::uint32_t p = shape.parent[v];
    // Children follow in order of their smallest leaf, so the first holds
    // the parent's smallest leaf.
    (children[p] == 0 ? first[p] : second[p]) = static_cast<std::uint32_t>(v);
    ++children[p];
  }
  const auto id_of = [&](std::size_t v) -> CladeId {
    if (v == 0) return root;
    const SplitId s = shape.split[v];
    if (ids.empty()) return s;
    return s < ids.size() ? ids[s] : kNoClade;
  };
  std::vector<CcdSplit> nodes;
  nodes.reserve(n_leaves);
  for (std::size_t v = 0; v < n; ++v) {
    if (children[v] == 0) continue;
    if (children[v] != 2) return std::nullopt;
    nodes.push_back(CcdSplit{id_of(v), id_of(first[v]), id_of(second[v]), 0});
  }
  return nodes;
}

namespace {

// Clades as packed leaf bits, and a table from bits to clade, for finding
// the clades that partition a clade.
class CladeBits {
 public:
  CladeBits(const CladeTable& clades, std::uint32_t n_leaves, CladeId root)
      : words_((n_leaves + 63) / 64), bits_((std::size_t{root} + 1) * words_, 0) {
    for (CladeId c = 0; c < root; ++c)
      for (LeafId leaf : clades.row(c)) bits_[c * words_ + leaf / 64] |= std::uint64_t{1} << (leaf % 64);
    for (LeafId leaf = 0; leaf < n_leaves; ++leaf)
      bits_[root * words_ + leaf / 64] |= std::uint64_t{1} << (leaf % 64);
    std::size_t size = 2;
    while (size < 2 * (std::size_t{root} + 1)) size *= 2;
    slots_.assign(size, kNoClade);
    for (CladeId c = 0; c <= root; ++c) {
      std::size_t at = hash(row(c)) & (size - 1);
      while (slots_[at] != kNoClade) at = (at + 1) & (size - 1);
      slots_[at] = c;
    }
  }

  std::span<const std::uint64_t> row(CladeId c) const noexcept { return {bits_.data() + c * words_, words_}; }
  std::size_t words() const noexcept { return words_; }

  CladeId find(std::span<const std::uint64_t> bits) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash(bits) & mask;; at = (at + 1) & mask) {
      const CladeId c = slots_[at];
      if (c == kNoClade || std::equal(bits.begin(), bits.end(), row(c).begin())) return c;
    }
  }

 private:
  static std::size_t hash(std::span<const std::uint64_t> bits) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t w : bits) {
      h ^= w + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
      h *= 0xBF58476D1CE4E5B9ull;
      h ^= h >> 31;
    }
    return static_cast<std::size_t>(h);
  }

  std::size_t words_;
  std::vector<std::uint64_t> bits_;
  std::vector<CladeId> slots_;
};

// Every partition of each clade into two clades of the set, `first` holding
// the clade's smallest leaf.  Only clades with that same smallest leaf can
// be `first`, so each clade looks through those of its own smallest leaf.
std::vector<std::vector<CcdSplit>> all_partitions(const CladeTable& clades, std::uint32_t n_leaves,
                                                  CladeId root) {
  const CladeBits bits(clades, n_leaves, root);
  const auto size_of = [&](CladeId c) { return c == root ? std::size_t{n_leaves} : clades.row(c).size(); };
  const auto smallest = [&](CladeId c) { return c == root ? LeafId{0} : clades.row(c).front(); };
  std::vector<std::vector<CladeId>> by_leaf(n_leaves);
  for (CladeId c = 0; c <= root; ++c) by_leaf[smallest(c)].push_back(c);
  for (std::vector<CladeId>& group : by_leaf)
    std::stable_sort(group.begin(), group.end(),
                     [&](CladeId a, CladeId b) { return size_of(a) < size_of(b); });
  std::vector<std::vector<CcdSplit>> out(std::size_t{root} + 1);
  // Clades differ widely in how many candidates they scan: one per task.
  tbb::parallel_for(CladeId{0}, root + 1, [&](CladeId c) {
    if (stop_requested() || size_of(c) < 2) return;
    const std::span<const std::uint64_t> whole = bits.row(c);
    std::vector<std::uint64_t> rest(bits.words());
    std::vector<CcdSplit>& found = out[c];
    for (CladeId part : by_leaf[smallest(c)]) {
      if (size_of(part) >= size_of(c)) break;
      const std::span<const std::uint64_t> inner = bits.row(part);
      bool inside = true;
      for (std::size_t w = 0; w < rest.size(); ++w) {
        inside = inside && (inner[w] & ~whole[w]) == 0;
        rest[w] = whole[w] ^ inner[w];
      }
      if (!inside) continue;
      const CladeId other = bits.find(rest);
      if (other != kNoClade) found.push_back(CcdSplit{c, part, other, 0});
    }
    std::sort(found.begin(), found.end(), split_less);
  });
  return out;
}

double log_sum_exp(std::span<const double> terms) {
  double top = -std::numeric_limits<double>::infinity();
  for (double t : terms) top = std::max(top, t);
  if (top == -std::numeric_limits<double>::infinity()) return top;
  double sum = 0.0;
  for (double t : terms) sum += std::exp(t - top);
  return top + std::log(sum);
}

// The index of the node's split in the graph, or the number of splits.
std::size_t find_split(const CcdGraph& graph, const CcdSplit& node) {
  const std::size_t none = graph.splits.size();
  if (node.parent >= graph.split_start.size() - 1) return none;
  const auto begin = graph.splits.begin() + static_cast<std::ptrdiff_t>(graph.split_start[node.parent]);
  const auto end = graph.splits.begin() + static_cast<std::ptrdiff_t>(graph.split_start[node.parent + 1]);
  const auto at = std::lower_bound(begin, end, node, split_less);
  if (at == end || at->first != node.first || at->second != node.second) return none;
  return static_cast<std::size_t>(at - graph.splits.begin());
}

}  // namespace

Result<CcdGraph> ccd_graph(const Snapshots& set, RowCounter* trees_done) {
  const auto n = static_cast<std::uint32_t>(set.leaf_names.size());
  const std::size_t n_trees = set.snaps.size();
  const auto root = static_cast<CladeId>(set.freq.size());
  if (set.clades.rows() != set.freq.size()) throw InvariantFailure("a CCD needs the set's clade rows");
  CcdGraph graph;
  graph.n_leaves = n;
  graph.n_trees = static_cast<std::uint32_t>(n_trees);
  graph.root = root;
  graph.clade_count.resize(std::size_t{root} + 1);
  for (CladeId c = 0; c <= root; ++c)
    graph.clade_count[c] = c == root || c < n ? static_cast<std::uint32_t>(n_trees) : set.freq[c];
  std::vector<std::vector<CcdSplit>> partitions = all_partitions(set.clades, n, root);
  graph.split_start.assign(std::size_t{root} + 2, 0);
  for (CladeId c = 0; c <= root; ++c) graph.split_start[c + 1] = graph.split_start[c] + partitions[c].size();
  graph.splits.reserve(graph.split_start.back());
  for (std::vector<CcdSplit>& group : partitions)
    graph.splits.insert(graph.splits.end(), group.begin(), group.end());

  // The trees' own splits are among the partitions: each tree counts its
  // own into them, so that nothing per tree is kept.
  const std::size_t per_tree = n == 0 ? 0 : n - 1;
  std::vector<std::atomic<std::uint32_t>> counts(graph.splits.size());
  std::atomic<std::size_t> first_bad{n_trees};
  std::atomic<bool> lost{false};
  tbb::parallel_for(std::size_t{0}, n_trees, [&](std::size_t t) {
    if (stop_requested()) return;
    const std::optional<std::vector<CcdSplit>> nodes = tree_nodes(set.clades, set.snaps[t], n, root);
    if (!nodes || nodes->size() != per_tree) {
      std::size_t was = first_bad.load();
      while (t < was && !first_bad.compare_exchange_weak(was, t)) {
      }
      return;
    }
    for (const CcdSplit& node : *nodes) {
      const std::size_t at = find_split(graph, node);
      if (at == graph.splits.size()) {
        lost = true;
        return;
      }
      counts[at].fetch_add(1, std::memory_order_relaxed);
    }
    count_rows(trees_done, 1);
  });
  if (const std::size_t bad = first_bad.load(); bad < n_trees)
    return Error{"tree " + std::to_string(bad) + " is not binary: a node has more than two children", bad};
  if (lost) throw InvariantFailure("a tree's split is not a partition of its clade");
  for (std::size_t i = 0; i < counts.size(); ++i) graph.splits[i].count = counts[i].load();

  graph.by_size.resize(std::size_t{root} + 1);
  std::iota(graph.by_size.begin(), graph.by_size.end(), CladeId{0});
  const auto size_of = [&](CladeId c) { return c == root ? std::size_t{n} : set.clades.row(c).size(); };
  std::stable_sort(graph.by_size.begin(), graph.by_size.end(),
                   [&](CladeId a, CladeId b) { return size_of(a) < size_of(b); });
  return graph;
}

CcdTables ccd_tables(const CcdGraph& graph, CcdKind kind) {
  const std::size_t k = graph.clade_count.size();
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  CcdTables tables;
  tables.kind = kind;
  tables.log_trees.assign(k, 0.0);
  tables.best.assign(k, 0.0);
  tables.best_split.assign(k, graph.splits.size());
  if (kind == CcdKind::kCcd0) tables.log_weight.assign(k, 0.0);
  const double trees = static_cast<double>(graph.n_trees);
  std::vector<double> count_terms;
  std::vector<double> weight_terms;
  for (CladeId c : graph.by_size) {
    const std::size_t begin = graph.split_start[c];
    const std::size_t end = graph.split_start[c + 1];
    if (begin == end && c < graph.n_leaves) continue;  // a leaf: one subtree, score 0
    const double clade = static_cast<double>(graph.clade_count[c]);
    count_terms.clear();
    weight_terms.clear();
    double best = kNone;
    for (std::size_t s = begin; s < end; ++s) {
      const CcdSplit& split = graph.splits[s];
      if (kind == CcdKind::kCcd1 && split.count == 0) continue;
      const double below = tables.best[split.first] + tables.best[split.second];
      const double score =
          kind == CcdKind::kCcd1 ? std::log(static_cast<double>(split.count) / clade) + below : below;
      if (score > best) {
        best = score;
        tables.best_split[c] = s;
      }
      count_terms.push_back(tables.log_trees[split.first] + tables.log_trees[split.second]);
      if (kind == CcdKind::kCcd0)
        weight_terms.push_back(tables.log_weight[split.first] + tables.log_weight[split.second]);
    }
    tables.log_trees[c] = log_sum_exp(count_terms);
    if (kind == CcdKind::kCcd0) {
      const double own = std::log(clade / trees);
      tables.best[c] = best + own;
      tables.log_weight[c] = log_sum_exp(weight_terms) + own;
    } else {
      tables.best[c] = best;
    }
  }
  return tables;
}

std::vector<CcdSplit> ccd_map_nodes(const CcdGraph& graph, const CcdTables& tables) {
  std::vector<CcdSplit> nodes;
  std::vector<CladeId> stack{graph.root};
  while (!stack.empty()) {
    const CladeId c = stack.back();
    stack.pop_back();
    if (c < graph.n_leaves) continue;
    const std::size_t s = tables.best_split[c];
    if (s >= graph.splits.size()) throw InvariantFailure("a clade of the MAP tree without a split");
    nodes.push_back(graph.splits[s]);
    stack.push_back(graph.splits[s].second);
    stack.push_back(graph.splits[s].first);
  }
  return nodes;
}

double ccd_log_probability(const CcdGraph& graph, const CcdTables& tables, std::span<const CcdSplit> nodes) {
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const double trees = static_cast<double>(graph.n_trees);
  double sum = 0.0;
  for (const CcdSplit& node : nodes) {
    if (node.parent == kNoClade || node.first == kNoClade || node.second == kNoClade) return kNone;
    const std::size_t at = find_split(graph, node);
    if (at == graph.splits.size()) return kNone;
    const CcdSplit* split = &graph.splits[at];
    const double clade = static_cast<double>(graph.clade_count[node.parent]);
    if (tables.kind == CcdKind::kCcd1) {
      if (split->count == 0) return kNone;
      sum += std::log(static_cast<double>(split->count) / clade);
    } else {
      sum += std::log(clade / trees);
    }
  }
  if (tables.kind == CcdKind::kCcd0) sum -= tables.log_weight[graph.root];
  return sum;
}

}  // namespace cladomatic
