// A tree made of compatible splits, in the one form every summary is written
// from.  Rows of the clade table are canonical sides (the clade when rooted,
// else the side without leaf 0), so a set of compatible splits is a family of
// nested or disjoint leaf sets: hung below a root that holds every leaf, it
// is the tree.  An unrooted tree is thus rooted at the node next to leaf 0.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/clades.hpp"
#include "../snapshot/intern.hpp"

namespace cladomatic {

inline constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;

// Nodes in preorder: node 0 is the root (parent kNoParent, split kNoParent);
// every other node's parent comes before it, and the children of a node
// follow in order of their smallest leaf.  `split[v]` is the split of the
// edge above v: a leaf's pendant id, which is its leaf index, or the
// non-trivial split whose canonical side v's leaves are.
struct Shape {
  std::vector<std::uint32_t> parent;
  std::vector<SplitId> split;
};

// The tree of the non-trivial splits `ids` (no repeats) over leaves
// 0 .. n_leaves - 1.  Throws InvariantFailure when two of them are not
// compatible.
Shape shape_of(const CladeTable& clades, std::span<const SplitId> ids, std::uint32_t n_leaves);

// The branch length of tree `snap` above each node of its `shape` (made from
// the tree's own splits, lengths kept), NaN at the root.  Throws
// InvariantFailure for a node whose split the tree lacks.
std::vector<double> node_lengths(const InternSnap& snap, const Shape& shape);

}  // namespace cladomatic
