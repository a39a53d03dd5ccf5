#include "timed_tree.hpp"

#include <algorithm>

#include "leaf_checks.hpp"
#include "newick.hpp"

namespace cladomatic {

std::optional<Error> TimedNodes::close(const newick_walk::Item& item, std::span<const LeafId> order) {
  TimedNode node;
  node.key = item.key;
  node.start = item.start;
  node.count = item.count;
  node.length = item.length;
  const auto index = static_cast<std::int32_t>(tree_.nodes.size());
  bool inner = false;
  while (!loose_.empty() && tree_.nodes[static_cast<std::size_t>(loose_.back())].start >= item.start) {
    tree_.nodes[static_cast<std::size_t>(loose_.back())].parent = index;
    loose_.pop_back();
    inner = true;
  }
  if (!inner) node.leaf = static_cast<std::int32_t>(order[item.start]);
  node.first_attribute = static_cast<std::uint32_t>(tree_.attributes.size());
  for (std::string_view comment : comments_) {
    if (std::optional<Error> failed = parse_node_comment(comment, tree_.attributes)) return failed;
  }
  comments_.clear();
  node.attribute_count = static_cast<std::uint32_t>(tree_.attributes.size()) - node.first_attribute;
  tree_.nodes.push_back(node);
  loose_.push_back(index);
  return std::nullopt;
}

TimedTree TimedNodes::take(std::vector<LeafId>&& order) {
  std::vector<TimedNode>& nodes = tree_.nodes;
  tree_.order = std::move(order);
  // Depths summed from the root down, the root's own length included, and
  // heights as the deepest tip's depth less the node's: the same additions in
  // the same order as the samplers' own summaries make, so equal heights
  // come out equal to the last bit.
  std::vector<double> depth(nodes.size(), 0.0);
  double deepest = 0.0;
  for (std::size_t k = nodes.size(); k-- > 0;) {
    TimedNode& node = nodes[k];
    const double above = node.parent < 0 ? 0.0 : depth[static_cast<std::size_t>(node.parent)];
    depth[k] = node.length > 0.0 ? above + node.length : above;
    node.depth = node.parent < 0 ? 0 : nodes[static_cast<std::size_t>(node.parent)].depth + 1;
    if (node.leaf >= 0) deepest = std::max(deepest, depth[k]);
  }
  for (std::size_t k = 0; k < nodes.size(); ++k) nodes[k].height = deepest - depth[k];
  return std::move(tree_);
}

// A build without the node hook (CLADOMATIC_NODE_HOOK=0) exists to time the
// plain readers against.  The walker's instantiation with the hook lives in
// this file alone, so that the plain readers' code (newick.cpp) is compiled
// as it was before the hook whatever the inliner makes of this one.
#ifndef CLADOMATIC_NODE_HOOK
#define CLADOMATIC_NODE_HOOK 1
#endif

Result<TimedTree> timed_tree(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                             const SnapshotContext& context, bool attributes) {
#if !CLADOMATIC_NODE_HOOK
  static_cast<void>(text), static_cast<void>(map), static_cast<void>(context), static_cast<void>(attributes);
  return Error{"this build reads no node heights or attributes (CLADOMATIC_NODE_HOOK=OFF)", tree_index};
#else
  const auto n = static_cast<std::uint32_t>(context.labels.size());
  std::vector<unsigned char> seen(n, 0);
  auto leaf_step = [&](std::string_view label) -> Result<newick_walk::Leaf> {
    std::optional<std::string_view> name = taxon_name(label, map);
    if (!name) return newick_walk::unnamed_leaf(tree_index);
    std::optional<LeafId> index = context.leaf_index.find(*name);
    if (!index) return different_leaf_set(tree_index);
    if (*index >= n) throw InvariantFailure("leaf index outside the label table");
    if (seen[*index]) return repeated_leaf(tree_index, *name);
    seen[*index] = 1;
    return newick_walk::Leaf{*index, context.labels[*index]};
  };
  TimedNodes nodes(attributes);
  Result<newick_walk::Walked> walked =
      newick_walk::walk(text, tree_index, n, context.total_key, context.checks, true,
                        newick_walk::WithNodes<decltype(leaf_step)&, TimedNodes>{leaf_step, nodes});
  if (!walked) return std::move(walked).take_error();
  if (walked.value().order.size() != n) return different_leaf_set(tree_index);
  return nodes.take(std::move(walked.value().order));
#endif
}

}  // namespace cladomatic
