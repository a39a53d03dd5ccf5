// The values a sample of rooted trees gives each node of a target tree: for
// each of the target's clades, from the trees holding it, its heights, its
// branch lengths and every attribute written on it, one value per tree; and
// the height of the common ancestor of its leaves in every tree.  Only the
// target's clades keep values, so memory grows with the target, not with the
// trees' texts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/timed_tree.hpp"

namespace cladomatic {

// A set of values as the annotations give it: the mean (summed in sample
// order), the median, the shortest interval holding round(0.95 n) of the
// sorted values (the first of equal ones), and the range.
struct ValueSummary {
  double mean = 0.0;
  double median = 0.0;
  double hpd_low = 0.0;
  double hpd_high = 0.0;
  double low = 0.0;
  double high = 0.0;
};

// `values` must not be empty; it is sorted.
ValueSummary summarise(std::vector<double>& values);

// One attribute over the target's nodes.  Numbers and texts are kept apart:
// a value written as a number in one tree and a string in another makes the
// attribute discrete, which the caller decides.
struct Trait {
  std::string name;
  std::vector<std::vector<double>> numbers;  // per target node, in sample order
  // per target node, each text with its count, in order of first appearance
  std::vector<std::vector<std::pair<std::string, std::uint64_t>>> texts;
  bool lists = false;  // some value was a {...} list, which is not summarised
};

class Annotation {
 public:
  explicit Annotation(TimedTree target);

  // Adds one tree over the target's leaves; with `common_ancestors`, also
  // the heights of the common ancestors of the target's clades in it.
  void add(const TimedTree& tree, bool common_ancestors);

  const TimedTree& target() const noexcept { return target_; }
  std::uint64_t trees() const noexcept { return trees_; }

  // Per target node.
  std::vector<std::uint64_t> counts;
  std::vector<std::vector<double>> heights;
  std::vector<std::vector<double>> lengths;
  std::vector<double> ancestor_heights;  // summed over the trees
  std::vector<Trait> traits;

 private:
  Trait& trait(const std::string& name);
  void add_attribute(std::size_t node, const Attribute& attribute);

  TimedTree target_;
  std::vector<std::pair<Key, std::uint32_t>> by_key_;  // sorted: a clade's key and leaf count
  std::uint64_t trees_ = 0;
  std::size_t last_trait_ = 0;
  std::vector<std::int32_t> node_of_leaf_;  // scratch: a tree's node per leaf
  std::vector<std::int32_t> ancestor_;      // scratch: per target node
};

}  // namespace cladomatic
