// Conditional clade distributions of a set of rooted binary trees: the
// graph of its clades and their splits, and the two distributions over the
// trees that graph holds.
//
// A clade is one of the set's split ids (the rooted set's rows are clades:
// ids below n_leaves are the single leaves) or the root clade, whose id is
// one past the set's ids.  n(C) is the number of trees holding C (every tree
// holds the root and the leaves), n(C1, C2) the number holding C with the
// children C1 and C2.
//  - CCD1: a tree's probability is the product over its inner nodes of
//    n(C1, C2) / n(C); only splits some tree holds are in its graph.
//  - CCD0: a tree's probability is proportional to the product of
//    f(C) = n(C) / N over its clades, over the trees of a graph in which
//    every clade may split into any two clades of the set that partition it,
//    held together by a tree or not.
// Both are over the same clades, so a tree with a clade the set never holds
// has probability 0 under either (log probability -inf).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "../primitives/row_progress.hpp"
#include "../snapshot/intern.hpp"
#include "../snapshot/result.hpp"

namespace cladomatic {

using CladeId = std::uint32_t;

// A clade a graph does not hold (in a tree brought from elsewhere).
inline constexpr CladeId kNoClade = std::numeric_limits<CladeId>::max();

// One inner node: its clade and its children's, `first` the child holding
// the clade's smallest leaf.  `count` is n(C1, C2) in a graph, 0 for a split
// only CCD0 has.
struct CcdSplit {
  CladeId parent = 0;
  CladeId first = 0;
  CladeId second = 0;
  std::uint32_t count = 0;
};

struct CcdGraph {
  std::uint32_t n_leaves = 0;
  std::uint32_t n_trees = 0;
  CladeId root = 0;                        // the set's number of split ids
  std::vector<std::uint32_t> clade_count;  // n(C), root + 1 entries
  // CCD0's splits grouped by parent in ascending id, each group ordered by
  // (first, second); clade c's are splits[split_start[c] .. split_start[c + 1]).
  std::vector<CcdSplit> splits;
  std::vector<std::size_t> split_start;
  std::vector<CladeId> by_size;  // every clade, smaller ones first (ties by id)
};

// The graph of the set's trees, or an error naming (by tree_index) the first
// tree with a node of more than two children.  Wants a rooted set whose
// trees all hold every leaf (the caller checks).  Each tree passed is counted
// into `trees_done`; once the task group is cancelled the graph is garbage.
Result<CcdGraph> ccd_graph(const Snapshots& set, RowCounter* trees_done = nullptr);

enum class CcdKind : std::uint8_t { kCcd1, kCcd0 };

// Per clade, by dynamic programming from the leaves up: the log of the
// number of subtrees the distribution holds below it; the best log score of
// those subtrees (CCD1: sum of log n(C1, C2) / n(C); CCD0: sum of log f over
// its clades) and the split that reaches it, the first in the graph's order
// among equal scores; for CCD0 the log of the sum over the subtrees of their
// products of f (the normaliser, at the root).
struct CcdTables {
  CcdKind kind = CcdKind::kCcd1;
  std::vector<double> log_trees;
  std::vector<double> best;
  std::vector<std::size_t> best_split;
  std::vector<double> log_weight;  // CCD0 only
};

CcdTables ccd_tables(const CcdGraph& graph, CcdKind kind);

// The inner nodes of the distribution's MAP tree in preorder, the root's
// first.
std::vector<CcdSplit> ccd_map_nodes(const CcdGraph& graph, const CcdTables& tables);

// The log probability of a tree given as its inner nodes (clade ids of this
// graph, kNoClade for a clade it lacks): -inf when the distribution does not
// hold it.  Nodes are summed in the order given.
double ccd_log_probability(const CcdGraph& graph, const CcdTables& tables, std::span<const CcdSplit> nodes);

// The inner nodes of one tree of a rooted set in preorder, its clades as the
// set's ids (the root as `root`), or nothing when a node has other than two
// children.  `ids` maps the set's split ids to the ids wanted (kNoClade for
// none); empty for the set's own.
std::optional<std::vector<CcdSplit>> tree_nodes(const CladeTable& clades, const InternSnap& snap,
                                                std::uint32_t n_leaves, CladeId root,
                                                std::span<const CladeId> ids = {});

}  // namespace cladomatic
