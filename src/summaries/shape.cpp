#include "shape.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

#include "../snapshot/result.hpp"

namespace cladomatic {

Shape shape_of(const CladeTable& clades, std::span<const SplitId> ids, std::uint32_t n_leaves) {
  const std::size_t k = ids.size();
  // Inner nodes are 0 .. k - 1 (one per split) and k (the root); leaf l is
  // node k + 1 + l.  Larger sides first, so each side's parent is already
  // in place when its leaves are moved below it.
  std::vector<std::uint32_t> by_size(k);
  std::iota(by_size.begin(), by_size.end(), 0u);
  for (SplitId s : ids)
    if (s < n_leaves || s >= clades.rows()) throw InvariantFailure("not a non-trivial split of the set");
  std::stable_sort(by_size.begin(), by_size.end(), [&](std::uint32_t a, std::uint32_t b) {
    return clades.row(ids[a]).size() > clades.row(ids[b]).size();
  });
  const auto root = static_cast<std::uint32_t>(k);
  const std::size_t n_nodes = k + 1 + n_leaves;
  std::vector<std::uint32_t> holder(n_leaves, root);  // the smallest side placed so far holding each leaf
  std::vector<std::uint32_t> up(n_nodes, kNoParent);
  std::vector<LeafId> smallest(n_nodes, 0);
  for (std::uint32_t node : by_size) {
    const std::span<const LeafId> side = clades.row(ids[node]);
    const std::uint32_t parent = holder[side.front()];
    for (LeafId leaf : side) {
      // Compatible sides met so far are nested or disjoint: all of this
      // side's leaves are still below one node.
      if (holder[leaf] != parent) throw InvariantFailure("the splits of a tree are not compatible");
      holder[leaf] = node;
    }
    up[node] = parent;
    smallest[node] = side.front();  // rows are sorted
  }
  for (LeafId leaf = 0; leaf < n_leaves; ++leaf) {
    up[root + 1 + leaf] = holder[leaf];
    smallest[root + 1 + leaf] = leaf;
  }

  // Children grouped by parent in order of their smallest leaf, then a
  // preorder walk.
  std::vector<std::uint32_t> children(n_nodes - 1);
  std::iota(children.begin(), children.begin() + root, 0u);
  std::iota(children.begin() + root, children.end(), root + 1);
  std::sort(children.begin(), children.end(), [&](std::uint32_t a, std::uint32_t b) {
    return up[a] != up[b] ? up[a] < up[b] : smallest[a] < smallest[b];
  });
  std::vector<std::size_t> first_child(n_nodes + 1, 0);
  for (std::uint32_t c : children) ++first_child[up[c] + 1];
  std::partial_sum(first_child.begin(), first_child.end(), first_child.begin());

  Shape shape;
  shape.parent.reserve(n_nodes);
  shape.split.reserve(n_nodes);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{root, kNoParent}};  // node, parent's place
  while (!stack.empty()) {
    const auto [node, parent_at] = stack.back();
    stack.pop_back();
    const auto at = static_cast<std::uint32_t>(shape.parent.size());
    shape.parent.push_back(parent_at);
    shape.split.push_back(node == root ? kNoParent : node < root ? ids[node] : node - root - 1);
    // Pushed last child first, so the first child is written first.
    for (std::size_t c = first_child[node + 1]; c-- > first_child[node];) stack.emplace_back(children[c], at);
  }
  return shape;
}

std::vector<double> node_lengths(const InternSnap& snap, const Shape& shape) {
  // The length of split ids[p] is at n_pendant + p.
  std::vector<std::pair<SplitId, std::size_t>> at;
  for (std::size_t p = 0; p < snap.ids.size(); ++p) at.emplace_back(snap.ids[p], snap.n_pendant + p);
  std::sort(at.begin(), at.end());
  std::vector<double> lengths(shape.split.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t v = 1; v < shape.split.size(); ++v) {
    const SplitId s = shape.split[v];
    std::size_t p = s;
    if (s >= snap.n_pendant) {
      const auto found = std::lower_bound(at.begin(), at.end(), std::pair<SplitId, std::size_t>{s, 0});
      if (found == at.end() || found->first != s) throw InvariantFailure("a node without its split");
      p = found->second;
    }
    if (p >= snap.lengths.size()) throw InvariantFailure("a split without its length");
    lengths[v] = snap.lengths[p];
  }
  return lengths;
}

}  // namespace cladomatic
