#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "../snapshot/taxa.hpp"
#include "pruned.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

// What one task keeps from tree to tree while laying trees out.
struct ArcScratch {
  explicit ArcScratch(std::size_t n_leaves) : local(n_leaves, kAbsent), marked(n_leaves, 0) {}
  std::vector<std::uint32_t> local;  // set leaf -> its place among the tree's taxa, kAbsent elsewhere
  std::vector<std::uint8_t> marked;  // by local place
  std::vector<std::uint32_t> members;
  std::vector<std::uint32_t> member_offsets;
  std::vector<std::uint32_t> by_size;
  std::vector<std::uint32_t> innermost;  // by local place: the smallest side holding it so far
  std::vector<std::uint32_t> parent;     // by node: sides 0..m-1, then leaves m..m+n-1
  std::vector<std::uint32_t> child_offsets;
  std::vector<std::uint32_t> children;
  std::vector<std::uint32_t> stack;
  std::vector<std::uint32_t> position;  // by local place
};

// Tree t's canonical sides as local places, from its split rows: unrooted,
// a row holding the tree's first taxon (local 0) is replaced by the rest.
bool canonical_sides(const Snapshots& set, std::size_t t, bool rooted, ArcScratch& scratch, std::uint32_t n) {
  const InternSnap& snap = set.snaps[t];
  scratch.members.clear();
  scratch.member_offsets.assign(1, 0);
  for (const SplitId id : snap.ids) {
    const std::span<const LeafId> row = set.clades.row(id);
    const std::size_t first = scratch.members.size();
    bool holds_first = false;
    for (const LeafId leaf : row) {
      const std::uint32_t place = scratch.local[leaf];
      if (place == kAbsent) return false;
      holds_first = holds_first || place == 0;
      scratch.members.push_back(place);
    }
    if (!rooted && holds_first) {
      for (std::size_t k = first; k < scratch.members.size(); ++k) scratch.marked[scratch.members[k]] = 1;
      scratch.members.resize(first);
      for (std::uint32_t place = 0; place < n; ++place) {
        if (scratch.marked[place] == 0) scratch.members.push_back(place);
        scratch.marked[place] = 0;
      }
    }
    if (scratch.members.size() == first) return false;
    scratch.member_offsets.push_back(static_cast<std::uint32_t>(scratch.members.size()));
  }
  return true;
}

// Lays tree t out: its leaves in the order of a walk of the tree its sides
// nest into (the first taxon first, unrooted), each side an arc of it.
// False when the sides do not nest.
bool lay_out_tree(const Snapshots& set, std::size_t t, bool rooted, bool lengths,
                  std::span<const LeafId> taxa, std::span<const LeafId> universe_of, ArcScratch& scratch,
                  PrunedLayout& layout) {
  const auto n = static_cast<std::uint32_t>(taxa.size());
  for (std::uint32_t place = 0; place < n; ++place) scratch.local[taxa[place]] = place;
  const bool nested = [&] {
    if (!canonical_sides(set, t, rooted, scratch, n)) return false;
    const auto m = static_cast<std::uint32_t>(scratch.member_offsets.size() - 1);
    const auto size = [&](std::uint32_t p) {
      return scratch.member_offsets[p + 1] - scratch.member_offsets[p];
    };
    // Larger sides first: each side's parent is the smallest side met so far
    // that holds its first member, when the sides nest.
    scratch.by_size.resize(m);
    std::iota(scratch.by_size.begin(), scratch.by_size.end(), 0u);
    std::stable_sort(scratch.by_size.begin(), scratch.by_size.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return size(x) > size(y); });
    const std::uint32_t root = m + n;
    scratch.innermost.assign(n, root);
    scratch.parent.assign(m + n, root);
    for (const std::uint32_t p : scratch.by_size) {
      const std::uint32_t* member = scratch.members.data() + scratch.member_offsets[p];
      scratch.parent[p] = scratch.innermost[member[0]];
      for (std::uint32_t k = 0; k < size(p); ++k) scratch.innermost[member[k]] = p;
    }
    for (std::uint32_t place = 0; place < n; ++place) scratch.parent[m + place] = scratch.innermost[place];
    // Children grouped by parent, in node order; the root's first child is
    // the first taxon, which no side holds when unrooted.
    scratch.child_offsets.assign(root + 3, 0);
    for (std::uint32_t node = 0; node < m + n; ++node) ++scratch.child_offsets[scratch.parent[node] + 2];
    for (std::uint32_t k = 2; k < root + 3; ++k) scratch.child_offsets[k] += scratch.child_offsets[k - 1];
    scratch.children.resize(m + n);
    for (std::uint32_t node = 0; node < m + n; ++node)
      scratch.children[scratch.child_offsets[scratch.parent[node] + 1]++] = node;
    if (!rooted) {
      const auto first = scratch.children.begin() + scratch.child_offsets[root];
      const auto last = scratch.children.begin() + scratch.child_offsets[root + 1];
      const auto leaf = std::find(first, last, m);
      if (leaf == last) return false;
      std::rotate(first, leaf, leaf + 1);
    }
    // A walk from the root: leaves get positions, sides their arcs.
    const std::uint64_t base = layout.leaf_offsets[t];
    const std::uint64_t split_base = layout.offsets[t];
    scratch.position.resize(n);
    std::uint32_t next = 0;
    scratch.stack.assign(1, root);
    while (!scratch.stack.empty()) {
      const std::uint32_t node = scratch.stack.back();
      scratch.stack.pop_back();
      if (node >= root + 1) {  // a side's walk ends
        const std::uint32_t p = node - root - 1;
        layout.counts[split_base + p] = next - layout.starts[split_base + p];
        continue;
      }
      if (node >= m && node < root) {
        const std::uint32_t place = node - m;
        scratch.position[place] = next;
        layout.order[base + next] = universe_of[taxa[place]];
        if (lengths) layout.pendants[base + next] = set.snaps[t].lengths[taxa[place]];
        ++next;
        continue;
      }
      if (node < m) {
        layout.starts[split_base + node] = next;
        scratch.stack.push_back(root + 1 + node);
      }
      const std::uint32_t* kids = scratch.children.data();
      for (std::uint32_t k = scratch.child_offsets[node + 1]; k-- > scratch.child_offsets[node];)
        scratch.stack.push_back(kids[k]);
    }
    // The sides nest exactly when each one's members fill its arc.
    for (std::uint32_t p = 0; p < m; ++p) {
      const std::uint32_t from = layout.starts[split_base + p];
      if (layout.counts[split_base + p] != size(p)) return false;
      for (std::uint32_t k = scratch.member_offsets[p]; k < scratch.member_offsets[p + 1]; ++k) {
        if (scratch.position[scratch.members[k]] - from >= size(p)) return false;
      }
      if (lengths) layout.lengths[split_base + p] = set.snaps[t].lengths[set.snaps[t].n_pendant + p];
    }
    return next == n;
  }();
  for (const LeafId leaf : taxa) scratch.local[leaf] = kAbsent;
  return nested;
}

}  // namespace

Result<PrunedLayout> lay_out_pruned(const Snapshots& set, bool rooted, bool lengths,
                                    std::span<const LeafId> universe_of, std::uint32_t universe) {
  const std::size_t n = set.snaps.size();
  const auto n_leaves = static_cast<std::uint32_t>(set.leaf_names.size());
  if (universe_of.size() != n_leaves || set.clades.rows() < n_leaves)
    throw InvariantFailure("a pruned layout needs clade rows and every leaf's place");
  PrunedLayout layout;
  layout.words = (std::size_t{universe} + 63) / 64;
  const std::size_t words = layout.words;
  layout.taxa.assign(n * words, 0);
  layout.leaf_offsets.assign(n + 1, 0);
  layout.offsets.assign(n + 1, 0);
  std::vector<std::vector<LeafId>> taxa(n);
  for (std::size_t t = 0; t < n; ++t) {
    taxa[t] = taxa_of(set, t);
    for (const LeafId leaf : taxa[t]) {
      const LeafId place = universe_of[leaf];
      layout.taxa[t * words + place / 64] |= std::uint64_t{1} << (place % 64);
    }
    layout.leaf_offsets[t + 1] = layout.leaf_offsets[t] + taxa[t].size();
    layout.offsets[t + 1] = layout.offsets[t] + set.snaps[t].ids.size();
  }
  std::unordered_map<std::string_view, std::uint32_t> sets;
  layout.taxon_set.resize(n);
  for (std::size_t t = 0; t < n; ++t) {
    const std::string_view bits(reinterpret_cast<const char*>(layout.taxa.data() + t * words), words * 8);
    layout.taxon_set[t] = sets.try_emplace(bits, static_cast<std::uint32_t>(sets.size())).first->second;
  }
  layout.order.resize(layout.leaf_offsets.back());
  layout.starts.resize(layout.offsets.back());
  layout.counts.resize(layout.offsets.back());
  if (lengths) {
    layout.pendants.resize(layout.leaf_offsets.back());
    layout.lengths.resize(layout.offsets.back());
  }
  std::atomic<bool> nested{true};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    ArcScratch scratch(n_leaves);
    for (std::size_t t = r.begin(); t != r.end(); ++t) {
      if (!lay_out_tree(set, t, rooted, lengths, taxa[t], universe_of, scratch, layout))
        nested.store(false, std::memory_order_relaxed);
    }
  });
  if (!nested.load()) return Error{"A tree's splits do not nest as the splits of one tree do."};
  return layout;
}

}  // namespace cladomatic
