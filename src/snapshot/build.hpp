// One parsed tree reduced to its splits.  A split is named by a 128-bit key,
// the XOR of the random labels of the leaves on one side; the leaves themselves
// are only a range of the tree's leaf order, materialised on demand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "clades.hpp"

namespace cladomatic {

using Key = unsigned __int128;

// A second, independent fingerprint of a leaf set: the sum of its leaves'
// random values modulo the prime 2^61 - 1.  Keys are XORs of labels anyone
// can compute, so leaf sets with equal keys can be built on purpose; the
// values behind a check are drawn afresh in every process, so two different
// leaf sets agree on it with probability 2^-61 whatever the input.  Parts do
// not carry it: it follows from the tree's leaf order where it is needed.
using Check = std::uint64_t;
inline constexpr Check kCheckPrime = (Check{1} << 61) - 1;

// a - b modulo the check prime.
inline Check subtract_checks(Check a, Check b) noexcept {
  return a >= b ? a - b : a + (kCheckPrime - b);
}

struct Part {
  Key key;
  double length;        // 0.0 when the text gives none; a sum after edges merge
  std::uint32_t start;  // first position of the subtree's leaves in Snapshot::order
  std::uint32_t count;  // leaves below the edge; 1 for a pendant edge
};

// Unrooted, the edge above a subtree of all leaves but one is the pendant edge
// of the leaf outside it, so its length is part of that leaf's pendant length.
//
// Invariants (established by `snapshot`): `order` holds every leaf index
// 0..n-1 once; every part has 1 <= count <= n and start + count <= n; no two
// parts share a key unless a crafted input made different leaf sets collide
// (their checks then differ); a part with count 1 carries its leaf's label as
// key; in unrooted mode parts with count >= 2 carry canonical keys and
// count <= n - 2.
struct Snapshot {
  std::vector<Part> parts;
  std::vector<LeafId> order;
  std::size_t row_words = 0;  // ceil(n / 64)
};

// Both sides of a bipartition map to the same key: the smaller of the two.
inline Key canonical_key(Key side, Key total_key) noexcept {
  Key other = side ^ total_key;
  return other < side ? other : side;
}

// prefix[i] = the check of the first i leaves of `order`, so that a range's
// check is the difference of two entries; prefix.back() is the whole set's.
void check_prefix(std::span<const LeafId> order, std::span<const Check> leaf_checks,
                  std::vector<Check>& prefix);

// The check of a part's split: of its clade when rooted, else the smaller of
// its two sides' checks, the same whichever side the text wrote.
inline Check split_check(std::span<const Check> prefix, const Part& part, bool rooted) noexcept {
  Check side = subtract_checks(prefix[part.start + part.count], prefix[part.start]);
  if (rooted || part.count == 1) return side;
  return std::min(side, subtract_checks(prefix.back(), side));
}

// The part's canonical leaf side, in one or two runs of the leaf order: in
// unrooted mode the side without leaf 0 (pendant edges are never
// complemented); in rooted mode the clade itself.
std::pair<std::span<const LeafId>, std::span<const LeafId>> canonical_side(const Snapshot& snapshot,
                                                                           const Part& part, bool rooted);

// Appends the part's canonical side as a row.  Returns false, allocating nothing, when the table would then
// hold more than `max_entries` leaf entries.
bool push_canonical(const Snapshot& snapshot, const Part& part, bool rooted, CladeTable& table,
                    std::size_t max_entries = CladeTable::kMaxEntries);

}  // namespace cladomatic
