#include "annotate.hpp"

#include <algorithm>
#include <cmath>

namespace cladomatic {

ValueSummary summarise(std::vector<double>& values) {
  ValueSummary out;
  double sum = 0.0;
  for (double value : values) sum += value;
  const std::size_t n = values.size();
  out.mean = sum / static_cast<double>(n);
  std::sort(values.begin(), values.end());
  out.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
  const auto within =
      std::max<std::size_t>(1, static_cast<std::size_t>(std::floor(0.95 * static_cast<double>(n) + 0.5)));
  std::size_t best = 0;
  double narrowest = std::abs(values[within - 1] - values[0]);
  for (std::size_t i = 1; i + within <= n; ++i) {
    const double width = std::abs(values[i + within - 1] - values[i]);
    if (width < narrowest) {
      narrowest = width;
      best = i;
    }
  }
  out.hpd_low = values[best];
  out.hpd_high = values[best + within - 1];
  out.low = values.front();
  out.high = values.back();
  return out;
}

Annotation::Annotation(TimedTree target) : target_(std::move(target)) {
  const std::size_t nodes = target_.nodes.size();
  counts.assign(nodes, 0);
  heights.resize(nodes);
  lengths.resize(nodes);
  ancestor_heights.assign(nodes, 0.0);
  for (std::size_t k = 0; k < nodes; ++k) {
    const TimedNode& node = target_.nodes[k];
    by_key_.emplace_back(node.key, static_cast<std::uint32_t>(k));
  }
  std::sort(by_key_.begin(), by_key_.end());
  node_of_leaf_.assign(target_.order.size(), -1);
  ancestor_.assign(nodes, -1);
}

Trait& Annotation::trait(const std::string& name) {
  if (last_trait_ < traits.size() && traits[last_trait_].name == name) return traits[last_trait_];
  for (std::size_t k = 0; k < traits.size(); ++k) {
    if (traits[k].name == name) {
      last_trait_ = k;
      return traits[k];
    }
  }
  Trait& added = traits.emplace_back();
  added.name = name;
  added.numbers.resize(target_.nodes.size());
  added.texts.resize(target_.nodes.size());
  last_trait_ = traits.size() - 1;
  return added;
}

void Annotation::add_attribute(std::size_t node, const Attribute& attribute) {
  Trait& into = trait(attribute.name);
  const AttributeValue& value = attribute.value;
  if (value.kind == AttributeValue::Kind::number) {
    into.numbers[node].push_back(value.number);
  } else if (value.kind == AttributeValue::Kind::list) {
    into.lists = true;
  } else {
    auto& seen = into.texts[node];
    auto found =
        std::find_if(seen.begin(), seen.end(), [&](const auto& entry) { return entry.first == value.text; });
    if (found == seen.end()) {
      seen.emplace_back(value.text, 1);
    } else {
      ++found->second;
    }
  }
}

void Annotation::add(const TimedTree& tree, bool common_ancestors) {
  ++trees_;
  for (std::size_t k = 0; k < tree.nodes.size(); ++k) {
    const TimedNode& node = tree.nodes[k];
    if (node.leaf >= 0) node_of_leaf_[static_cast<std::size_t>(node.leaf)] = static_cast<std::int32_t>(k);
    auto found = std::lower_bound(by_key_.begin(), by_key_.end(), std::make_pair(node.key, std::uint32_t{0}));
    if (found == by_key_.end() || found->first != node.key) continue;
    const std::size_t target = found->second;
    if (target_.nodes[target].count != node.count) continue;
    ++counts[target];
    heights[target].push_back(node.height);
    lengths[target].push_back(node.length);
    for (const Attribute& attribute : tree.attributes_of(node)) add_attribute(target, attribute);
  }
  if (!common_ancestors) return;
  // The common ancestor of a target clade is that of its children's, found
  // children first since the target lists them before their parents.
  const std::vector<TimedNode>& nodes = tree.nodes;
  auto common = [&](std::int32_t a, std::int32_t b) {
    while (nodes[static_cast<std::size_t>(a)].depth > nodes[static_cast<std::size_t>(b)].depth)
      a = nodes[static_cast<std::size_t>(a)].parent;
    while (nodes[static_cast<std::size_t>(b)].depth > nodes[static_cast<std::size_t>(a)].depth)
      b = nodes[static_cast<std::size_t>(b)].parent;
    while (a != b) {
      a = nodes[static_cast<std::size_t>(a)].parent;
      b = nodes[static_cast<std::size_t>(b)].parent;
    }
    return a;
  };
  std::fill(ancestor_.begin(), ancestor_.end(), -1);
  for (std::size_t k = 0; k < target_.nodes.size(); ++k) {
    const TimedNode& node = target_.nodes[k];
    if (node.leaf >= 0) ancestor_[k] = node_of_leaf_[static_cast<std::size_t>(node.leaf)];
    ancestor_heights[k] += nodes[static_cast<std::size_t>(ancestor_[k])].height;
    if (node.parent < 0) continue;
    std::int32_t& above = ancestor_[static_cast<std::size_t>(node.parent)];
    above = above < 0 ? ancestor_[k] : common(above, ancestor_[k]);
  }
}

}  // namespace cladomatic
