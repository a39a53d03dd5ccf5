#include "newick.hpp"

#include <algorithm>

#include "quoted.hpp"
#include "walk.hpp"

namespace cladomatic {
namespace {

using newick_walk::Leaf;
using newick_walk::unnamed_leaf;
using newick_walk::walk;
using newick_walk::Walked;

Error different_leaf_set(std::uint64_t tree_index) {
  return Error{"Tree " + std::to_string(tree_index) +
                   " has a different leaf set than tree 0. All trees must share the same taxa.",
               tree_index};
}

// The taxon name of a label: itself, or its translation when the tree has a
// translate map (a label missing from a non-empty map names no leaf).
std::optional<std::string_view> taxon_name(std::string_view label, const TranslateMap& map) {
  if (map.empty()) return label;
  auto found = map.find(label);
  if (found == map.end()) return std::nullopt;
  return std::string_view(found->second);
}

}  // namespace

Result<Snapshot> snapshot(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                          const SnapshotContext& context) {
  const auto n = static_cast<std::uint32_t>(context.labels.size());
  if (context.checks.size() != n) throw InvariantFailure("one check value per leaf label is missing");
  std::vector<unsigned char> seen(n, 0);
  auto leaf_step = [&](std::string_view label) -> Result<Leaf> {
    std::optional<std::string_view> name = taxon_name(label, map);
    if (!name) return unnamed_leaf(tree_index);
    std::optional<LeafId> index = context.leaf_index.find(*name);
    if (!index) return different_leaf_set(tree_index);
    if (*index >= n) throw InvariantFailure("leaf index outside the label table");
    if (seen[*index]) {
      return Error{"Tree " + std::to_string(tree_index) + " repeats the leaf name " + quoted(*name) +
                       ". All leaf names must be unique.",
                   tree_index};
    }
    seen[*index] = 1;
    return Leaf{*index, context.labels[*index]};
  };
  Result<Walked> walked =
      walk(text, tree_index, n, context.total_key, context.checks, context.rooted, leaf_step);
  if (!walked) return std::move(walked).take_error();
  Walked& tree = walked.value();
  if (tree.order.size() != n) return different_leaf_set(tree_index);
  return Snapshot{std::move(tree.parts), std::move(tree.order), (std::size_t{n} + 63) / 64};
}

Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& map) {
  std::vector<std::string> names;
  auto leaf_step = [&](std::string_view label) -> Result<Leaf> {
    std::optional<std::string_view> name = taxon_name(label, map);
    if (!name) return unnamed_leaf(0);
    names.emplace_back(*name);
    return Leaf{0, 0};
  };
  Result<Walked> walked = walk(text, 0, 0, 0, {}, false, leaf_step);
  if (!walked) return std::move(walked).take_error();
  return names;
}

std::vector<std::string> leaf_labels(std::string_view text) {
  std::vector<std::string> labels;
  auto leaf_step = [&](std::string_view label) -> Result<Leaf> {
    labels.emplace_back(label);
    return Leaf{0, 0};
  };
  static_cast<void>(walk(text, 0, 0, 0, {}, false, leaf_step));
  return labels;
}

SnapshotContext make_snapshot_context(std::span<const std::string> leaf_list, bool rooted,
                                      const Secrets& secrets) {
  const auto n = static_cast<std::uint32_t>(leaf_list.size());
  SnapshotContext context;
  context.labels = taxon_labels(n);
  for (Key label : context.labels) context.total_key ^= label;
  context.checks = leaf_checks(n, secrets.check_seed);
  context.leaf_index = LeafIndexMap(leaf_list, secrets.hash_seed);
  context.rooted = rooted;
  return context;
}

Result<std::vector<std::string>> sorted_leaf_name_list(std::vector<std::string>&& names) {
  // std::string compares bytes as unsigned values, so non-ASCII sorts last.
  if (names.size() >= 2) std::sort(names.begin(), names.end());
  auto repeated = std::unique(names.begin(), names.end());
  if (repeated != names.end())
    return Error{"Tree 0 has duplicate leaf names. All leaf names must be unique.", 0};
  return std::move(names);
}

}  // namespace cladomatic
