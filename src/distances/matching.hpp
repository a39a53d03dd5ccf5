// The generalised Robinson-Foulds distances: each split of one tree matched
// to at most one split of the other so as to maximise the summed similarity
// of matched pairs (or minimise the summed cost), found by an assignment
// solver (assignment.hpp).  Unrooted trees, splits as bipartitions A|B of the
// n leaves; multifurcations allowed.  With x = |A n C|, the other three
// intersections of A|B and C|D follow from the sizes: |A n D| = a - x,
// |B n C| = c - x, |B n D| = n - a - c + x.
//
//   kCid      clustering information distance (Smith, Bioinformatics 36:5007,
//             2020): H(T) + H(T') - 2 MCI(T, T'), where the mutual clustering
//             information of two splits is
//               MCI = sum over the four intersections X of (|X|/n)
//                     log2(n |X| / (|P| |Q|)), P and Q the sides X lies in,
//             H(S) = MCI(S, S) = its entropy, H(T) the sum over T's splits,
//             and MCI(T, T') the best matching's sum;
//   kCidNorm  kCid divided by H(T) + H(T') (0 when both are 0);
//   kPid      phylogenetic information distance: h(T) + h(T') - 2 SPI(T, T'),
//             h(S) = -log2[(2a-3)!! (2b-3)!! / (2n-5)!!] the phylogenetic
//             information of a split, and the shared phylogenetic information
//             of two splits h(S) + h(S') - h(S and S'), the information of the
//             trees holding both, 0 when they cannot be in one tree;
//   kMsid     matching split information distance: the same with the
//             information of the largest split both agree with, max over the
//             two ways of pairing their sides of h(|A n C| | |B n D|) on the
//             |A n C| + |B n D| leaves where they agree (0 for an empty side);
//   kMsd      matching split distance (Bogdanowicz and Giaro, IEEE/ACM TCBB
//             9:150, 2012): the least sum over a one-to-one matching of
//             min(|A xor C|, |A xor D|), the tree with fewer splits padded
//             with the trivial split 0|n, which costs min(a, b) against A|B.
//
// Shared splits.  A split both trees hold may be matched to itself before
// solving, in every optimal matching's value, where an exchange argument
// proves it.  Let X be shared, and an optimal matching pair X (of T) with Y
// and Z with X (of T'); pairing X with X and Z with Y changes the sum by
//   g = s(X,X) + s(Z,Y) - s(X,Y) - s(Z,X)
// (an unmatched side reads s = 0, or the padding's cost).  Where g >= 0 for
// every Y and Z, some optimal matching pairs X with itself, and the argument
// repeats on the splits left.
//   kCid: s is the mutual information I of the two bipartitions as random
//     variables over a uniformly drawn leaf, s(X,X) = H(X), and
//       I(X;Y) + I(X;Z) - I(Y;Z) = I(X;YZ) - I(Y;Z|X) <= I(X;YZ) <= H(X),
//     so g >= 0 always: every shared split is matched to itself.
//   kMsd: s is a cost, min(|A xor C|, n - |A xor C|), the distance between
//     two bipartitions, a metric (the padding 0|n a point like the others);
//     g <= 0 is d(Z,Y) <= d(Z,X) + d(X,Y): every shared split is matched to
//     itself.
//   kPid, kMsid: not in general.  For X = AB, Z = ABD in T and X, Y = ABC in
//     T' (n >= 8), Y and Z cannot be in one tree, and s(X,Y) + s(Z,X) =
//     2 log2((2n-5)/3) > h(X) = log2(2n-5).  A shared X is matched to
//     itself only where h(X) >= max over Y != X of s(X,Y) + max over Z != X
//     of s(Z,X), which bounds g from below by 0 (s >= 0); the others stay in
//     the problem.
//
// Bits.  A pair is computed from the lower-numbered of its trees when both
// are of one set (so (i, j) and (j, i) agree), the matched sum added in the
// order of that tree's splits; the same for every block and thread count.
// A block whose rows are its columns (of one set) computes each pair once
// and copies it across the diagonal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"
#include "block.hpp"

namespace cladomatic {

enum class MatchingKind : std::uint8_t { kCid, kCidNorm, kPid, kMsid, kMsd };

// A set's non-trivial splits, per tree, as leaf bitsets of their canonical
// sides, each tree's sorted by their words: two sets over the same leaves
// compare splits by their bits, whatever their ids.
struct SplitBits {
  std::size_t words = 0;
  std::uint32_t n_leaves = 0;
  std::vector<std::uint64_t> offsets;  // per tree its first split, then the total
  std::vector<std::uint64_t> bits;     // `words` per split
  std::vector<std::uint32_t> sizes;    // per split, the leaves of its side

  std::size_t size() const noexcept { return offsets.size() - 1; }
};

SplitBits split_bits(std::span<const InternSnap> snaps, const CladeTable& clades, std::uint32_t n_leaves);

// out[r * cols + c] = the distance between tree rows[r] of `a` and cols[c] of
// `b`, two sets over the same leaves.  Throws InvariantFailure when an index
// is out of range or the leaves differ in number.
void matching_block(MatchingKind kind, const SplitBits& a, const SplitBits& b, Block block, double* out);

}  // namespace cladomatic
