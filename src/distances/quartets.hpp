// The quartet distance (Estabrook, McMorris and Meacham, Syst Zool 34:193,
// 1985) between unrooted trees over the same n leaves: the number of sets of
// four leaves whose induced topologies differ.  Four leaves a, b, c, d induce
// ab|cd when some edge separates {a, b} from {c, d}, else (all four in
// different branches of one node of a multifurcating tree) no resolution; an
// unresolved quartet differs from every resolved one.
//
// How.  Hang both trees from leaf 0.  A resolved quartet ab|cd is "claimed"
// twice: at the node u where the paths from a, b and c meet (a and b in two
// different branches of u, c and d together in a third) and at the node where
// those from c, d and a meet.  For a pair of nodes (u1 of one tree, u2 of the
// other) the numbers of leaves in each branch of u1 and branch of u2 form a
// small matrix I; every count of claims made at both u1 and u2 is a
// polynomial in I's entries, its row and column sums (quartets.cpp writes
// them out).  With s resolved the same way in both trees, d resolved
// differently, and r1, r2 resolved in each, the distance is
// r1 + r2 - 2 s - d.  The entries of I are the sizes of intersections of a
// subtree of one tree with one of the other: a row per node of the first tree
// over the subtrees of the second, the row of a node the sum of its
// children's, kept on a stack in postorder, so a pair costs the sum over node
// pairs of deg(u1) deg(u2) (the product's Frobenius term at most
// min(deg(u1), deg(u2)) times that): O(n^2) for trees of bounded degree.
// Node pairs whose subtrees share no leaf claim nothing at both and are
// passed over.
// Two binary trees take a shorter form of the same sum (s alone: every
// quartet is resolved in both).
//
// Bits.  Every count is an exact integer, so a cell is the same whatever the
// block, the order of the pair, the thread count or the instruction set; the
// normalised form divides the count by C(n, 4) once.  Counts are below 2^53
// (exact in a double) up to kQuartetMaxLeaves leaves.
#pragma once

#include <cstdint>

#include "block.hpp"
#include "tree_vectors.hpp"

namespace cladomatic {

// C(20000, 4) < 2^53, and the general form's products of four sizes stay
// below 2^63.
inline constexpr std::uint32_t kQuartetMaxLeaves = 20000;

// The count for tree `ta` of `a` against tree `tb` of `b` (same leaves).
std::uint64_t quartet_distance(const VectorTrees& a, std::uint32_t ta, const VectorTrees& b,
                               std::uint32_t tb);

// out[r * cols + c] = the distance between tree rows[r] of `a` and tree
// cols[c] of `b`, divided by C(n, 4) when `normalised` (0 below four
// leaves).  Throws InvariantFailure when an index is out of range, the leaves
// differ in number or exceed kQuartetMaxLeaves.
void quartet_block(const VectorTrees& a, const VectorTrees& b, bool normalised, Block block, double* out);

}  // namespace cladomatic
