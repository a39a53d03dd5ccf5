// Newick reading: the per-call context, one tree to its splits (through the
// one-pass walker, which builds no tree), and tree 0's leaf names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build.hpp"
#include "fingerprint.hpp"
#include "result.hpp"
#include "translate_map.hpp"

namespace cladomatic {

struct TimedTree;

// Read-only per-call parsing context, shared by all workers.
struct SnapshotContext {
  std::vector<Key> labels;    // by leaf index
  Key total_key = 0;          // XOR of all labels: the key of the full leaf set
  std::vector<Check> checks;  // by leaf index
  LeafIndexMap leaf_index;
  bool rooted = false;
};

// The context of a call whose sorted leaf-name list is `leaf_list` (which
// must outlive it: the leaf index views it).
SnapshotContext make_snapshot_context(std::span<const std::string> leaf_list, bool rooted,
                                      const Secrets& secrets = process_secrets());

// A translate map's numbered labels (MrBayes and BEAST write 1, 2, ...
// for the taxa) resolved to leaf indices once for a call, so that a tree's
// leaves cost an array index each instead of two hash lookups.  Entry k is
// the leaf index + 1 of the label spelled k in decimal without leading
// zeros, or 0 when that label is not in the map or its taxon is not a leaf
// of the call; every other label takes the map.
struct NumberedLabels {
  std::vector<std::uint32_t> leaf_of;
};

// Empty (and unused) when the map has no such labels.
NumberedLabels numbered_labels(const TranslateMap& map, const SnapshotContext& context);

// One tree to its splits, checked against tree 0's leaf set.  Pure: many
// calls run at once on worker threads.  `numbered`, when given, is the
// map's `numbered_labels`: the same result, sooner.
Result<Snapshot> snapshot(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                          const SnapshotContext& context, const NumberedLabels* numbered = nullptr);

// One rooted tree with its shape and heights, its leaves checked as
// `snapshot` checks them; with `attributes`, its node comments are read too,
// and a malformed `[&...]` one is an error.
Result<TimedTree> timed_tree(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                             const SnapshotContext& context, bool attributes);

// A tree's leaf names in text order, translated; syntax errors as `snapshot`
// reports them for the tree at `tree_index`.
Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& map,
                                            std::uint64_t tree_index = 0);

// One tree of a set whose trees may hold different taxa, split over its own
// taxa.  `leaves` are its leaves' indices in text order, as `leaf_names`
// found them (distinct; every index below labels.size() and checks.size()).
// Each non-pendant part's range is its split's canonical side: in unrooted
// mode the side without the tree's first taxon (its least index), reached
// by rotating `order` to start at that taxon; rooted, the clade.  Its key is
// the XOR of that side's labels, so one side has one key in every tree.
Result<Snapshot> snapshot_over(std::string_view text, std::span<const LeafId> leaves,
                               std::span<const Key> labels, std::span<const Check> checks,
                               std::uint64_t tree_index, bool rooted);

// `leaf_names`, refusing a name the tree repeats as `snapshot` does (the
// first repeat in text order).
Result<std::vector<std::string>> distinct_leaf_names(std::string_view text, const TranslateMap& map,
                                                     std::uint64_t tree_index);

// Leaf labels in text order, untranslated, as far as the text is
// well-formed: what a message about a faulty tree can name.
std::vector<std::string> leaf_labels(std::string_view text);

// Sorts byte-wise and rejects repeated names: the call's leaf-name list.
Result<std::vector<std::string>> sorted_leaf_name_list(std::vector<std::string>&& names);

}  // namespace cladomatic
