#include "timed_tree.hpp"

#include <algorithm>

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

}  // namespace cladomatic
