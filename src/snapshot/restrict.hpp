// A set's trees restricted to some of their taxa, at the level of splits.
//
// Pruning a tree to the taxa S and merging every node left with one child
// into its neighbour (a root of degree two included, in unrooted trees) maps
// each edge to the split it induces on S: an edge with taxa of S on one side
// only disappears, and the edges of a chain that the merging joins induce one
// split, whose length is their sum.  So each split's side is intersected with
// S and made canonical within S (unrooted: the side without S's first taxon;
// rooted: the clade), and equal ones merge; one with a single taxon on a side
// is that taxon's pendant edge.
#pragma once

#include <span>

#include "intern.hpp"

namespace cladomatic {

// The trees of `set` pruned to the leaves `keep` (ascending, held by every
// tree, at least one): a set over those leaves alone, in the same order,
// that every tree holds whole.  Lengths are summed in each tree's split
// order, a taxon's own pendant length first.
Snapshots restricted(const Snapshots& set, std::span<const LeafId> keep, bool rooted, bool lengths);

}  // namespace cladomatic
