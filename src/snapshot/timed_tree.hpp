// One rooted tree as the annotating reader sees it: every node with its
// parent, clade key, branch length, height and the attributes its comments
// carry.  Unlike a snapshot it keeps the tree's shape, which common-ancestor
// heights and node values need.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "build.hpp"
#include "node_attributes.hpp"
#include "result.hpp"
#include "walk.hpp"

namespace cladomatic {

struct TimedNode {
  std::int32_t parent = -1;  // -1 at the root
  std::int32_t leaf = -1;    // its leaf index; -1 for an inner node
  std::uint32_t depth = 0;   // nodes above it
  Key key = 0;               // XOR of its leaves' labels
  std::uint32_t start = 0;   // its leaves' range in the leaf order
  std::uint32_t count = 0;
  double length = 0.0;
  double height = 0.0;
  std::uint32_t first_attribute = 0;  // its attributes in TimedTree::attributes
  std::uint32_t attribute_count = 0;
};

struct TimedTree {
  std::vector<TimedNode> nodes;  // children before parents: the root is last
  std::vector<Attribute> attributes;
  std::vector<LeafId> order;

  std::span<const Attribute> attributes_of(const TimedNode& node) const {
    return std::span(attributes).subspan(node.first_attribute, node.attribute_count);
  }
};

// The walker's node hook that builds a TimedTree; with `attributes` false it
// leaves comments unread.
class TimedNodes {
 public:
  explicit TimedNodes(bool attributes) : attributes_(attributes) {}

  void comment(std::string_view text, bool) {
    if (attributes_) comments_.push_back(text);
  }
  std::optional<Error> close(const newick_walk::Item& item, std::span<const LeafId> order);

  // The finished tree, with depths and heights.
  TimedTree take(std::vector<LeafId>&& order);

 private:
  bool attributes_;
  TimedTree tree_;
  std::vector<std::int32_t> loose_;  // closed nodes still without a parent
  std::vector<std::string_view> comments_;
};

}  // namespace cladomatic
