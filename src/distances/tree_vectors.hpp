// Distances between vectors that describe each tree by every pair of its
// leaves: the Kendall-Colijn metric and the path difference.  Neither is a
// sum over splits, so neither uses the split layouts: each tree's vector is
// made from its shape (summaries/shape.hpp) when a block needs it, and the
// distance of a pair is the Euclidean norm of the difference of two vectors.
//
// With n leaves, a vector has one entry per pair of leaves a < b, in the
// order (0,1), (0,2), ..., (0,n-1), (1,2), ..., then (Kendall-Colijn only)
// one per leaf:
//   kKc    (1 - lambda) m + lambda M, where m is the number of edges from the
//          root to the most recent common ancestor of a and b (of a leaf: 1,
//          its pendant edge) and M the sum of the branch lengths on that path
//          (of a leaf: its pendant length).  Kendall and Colijn, Mol Biol Evol
//          33:2735 (2016); treespace's treeVec.  Rooted trees.
//   kPath  the number of edges on the path between a and b (Steel and Penny,
//          Syst Biol 42:126, 1993).  Unrooted trees: the path is the same from
//          any root, here the node next to leaf 0.
//   kWeightedPath  the sum of the branch lengths on that path.
//
// Bits.  A cell is sqrt of the sum over the vector of squared differences.
// Where every entry is a whole number of edges (kc with lambda 0, path) the
// sum is exact, in integers, so its order does not matter; otherwise it is
// summed in eight lanes (entry k into lane k mod 8), then the lanes pairwise.
// Either way a cell is the same whatever the block, the order of the pair (a
// squared difference is the same either way), the thread count or the vector
// width, and a tree against itself is exactly 0.  A block whose rows are its
// columns (of one set) computes each pair once and copies it across the
// diagonal.
// Memory.  A block keeps the vectors of at most one stretch of its columns
// and one of its rows (32 MiB each): never the whole set's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"
#include "block.hpp"

namespace cladomatic {

enum class TreeVectorKind : std::uint8_t { kKc, kPath, kWeightedPath };

// What a tree's vector is made from: the set's trees and clades, over
// `n_leaves` leaves (every tree holding all of them).
struct VectorTrees {
  std::span<const InternSnap> snaps;
  const CladeTable* clades = nullptr;
  std::uint32_t n_leaves = 0;
};

struct TreeVectorMetric {
  TreeVectorKind kind = TreeVectorKind::kKc;
  double lambda = 0.0;  // kKc only
};

// Entries of one tree's vector.
std::size_t tree_vector_size(TreeVectorKind kind, std::uint32_t n_leaves) noexcept;

// Writes tree `tree`'s vector into `out` (tree_vector_size entries).  Trees
// read without lengths count every length as 0.
void tree_vector(const VectorTrees& trees, std::uint32_t tree, TreeVectorMetric metric,
                 std::span<double> out);

// The distance of two vectors, as every cell is computed.
double vector_distance(std::span<const double> a, std::span<const double> b) noexcept;

// out[r * cols + c] = the distance between tree rows[r] of `a` and tree
// cols[c] of `b`, two sets over the same leaves (in the same order).  Throws
// InvariantFailure when an index is out of range or the leaves differ in
// number.
void tree_vector_block(const VectorTrees& a, const VectorTrees& b, TreeVectorMetric metric, Block block,
                       double* out);

}  // namespace cladomatic
