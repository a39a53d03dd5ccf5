#include "newick.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include "leaf_checks.hpp"
#include "quoted.hpp"
#include "walk.hpp"

namespace cladomatic {
namespace {

using newick_walk::Leaf;
using newick_walk::unnamed_leaf;
using newick_walk::walk;
using newick_walk::Walked;

// Longer numbers, and tables far sparser than their labels, take the map.
constexpr std::size_t kMaxNumberDigits = 6;

// The value of a label spelled as a number without leading zeros.
std::optional<std::uint32_t> label_number(std::string_view label) noexcept {
  if (label.empty() || label.size() > kMaxNumberDigits || (label[0] == '0' && label.size() > 1))
    return std::nullopt;
  std::uint32_t value = 0;
  for (char c : label) {
    const auto digit = static_cast<unsigned char>(c - '0');
    if (digit > 9) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

NumberedLabels numbered_labels(const TranslateMap& map, const SnapshotContext& context) {
  NumberedLabels numbered;
  const std::size_t bound = 4 * map.size() + 64;
  for (const auto& [label, name] : map) {
    const std::optional<std::uint32_t> number = label_number(label);
    if (!number || *number >= bound) continue;
    const std::optional<LeafId> index = context.leaf_index.find(name);
    if (!index) continue;
    if (numbered.leaf_of.size() <= *number) numbered.leaf_of.resize(std::size_t{*number} + 1, 0);
    numbered.leaf_of[*number] = *index + 1;
  }
  return numbered;
}

Result<Snapshot> snapshot(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                          const SnapshotContext& context, const NumberedLabels* numbered) {
  const auto n = static_cast<std::uint32_t>(context.labels.size());
  if (context.checks.size() != n) throw InvariantFailure("one check value per leaf label is missing");
  std::vector<unsigned char> seen(n, 0);
  const std::span<const std::uint32_t> leaf_of = numbered != nullptr
                                                     ? std::span<const std::uint32_t>(numbered->leaf_of)
                                                     : std::span<const std::uint32_t>();
  auto leaf_step = [&](std::string_view label) -> Result<Leaf> {
    std::optional<LeafId> index;
    if (!leaf_of.empty()) {
      const std::optional<std::uint32_t> number = label_number(label);
      if (number && *number < leaf_of.size() && leaf_of[*number] != 0) index = leaf_of[*number] - 1;
    }
    if (!index) {
      std::optional<std::string_view> name = taxon_name(label, map);
      if (!name) return unnamed_leaf(tree_index);
      index = context.leaf_index.find(*name);
      if (!index) return different_leaf_set(tree_index);
    }
    if (*index >= n) throw InvariantFailure("leaf index outside the label table");
    // A repeat is said by its taxon name, whichever way it was found.
    if (seen[*index]) return repeated_leaf(tree_index, *taxon_name(label, map));
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

Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& map,
                                            std::uint64_t tree_index) {
  std::vector<std::string> names;
  auto leaf_step = [&](std::string_view label) -> Result<Leaf> {
    std::optional<std::string_view> name = taxon_name(label, map);
    if (!name) return unnamed_leaf(tree_index);
    names.emplace_back(*name);
    return Leaf{0, 0};
  };
  Result<Walked> walked = walk(text, tree_index, 0, 0, {}, false, leaf_step);
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

Result<std::vector<std::string>> distinct_leaf_names(std::string_view text, const TranslateMap& map,
                                                     std::uint64_t tree_index) {
  Result<std::vector<std::string>> names = leaf_names(text, map, tree_index);
  if (!names) return names;
  const std::vector<std::string>& found = names.value();
  std::vector<std::uint32_t> by_name(found.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::stable_sort(by_name.begin(), by_name.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return found[a] < found[b]; });
  std::optional<std::uint32_t> repeat;
  for (std::size_t k = 1; k < by_name.size(); ++k) {
    if (found[by_name[k]] == found[by_name[k - 1]] && (!repeat || by_name[k] < *repeat)) repeat = by_name[k];
  }
  if (repeat) return repeated_leaf(tree_index, found[*repeat]);
  return names;
}

namespace {

// Rotates an unrooted tree's leaf order to start at its first taxon and
// turns each part whose range holds that taxon into its complement, which
// is then a range as well.  Keys come from the ranges' own labels, whatever
// side the walk keyed.
void rotate_to_first_taxon(Snapshot& tree, Key total_key, std::span<const Key> labels) {
  std::vector<LeafId>& order = tree.order;
  const auto n = static_cast<std::uint32_t>(order.size());
  if (n == 0) return;
  const auto first = static_cast<std::uint32_t>(std::min_element(order.begin(), order.end()) - order.begin());
  std::vector<Key> prefix(std::size_t{n} + 1, 0);
  for (std::uint32_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] ^ labels[order[i]];
  for (Part& part : tree.parts) {
    const bool holds_first = part.start <= first && first - part.start < part.count;
    if (part.count > 1 && holds_first) {
      part.key = prefix[part.start + part.count] ^ prefix[part.start] ^ total_key;
      part.start = part.start + part.count - first;
      part.count = n - part.count;
      continue;
    }
    if (part.count > 1) part.key = prefix[part.start + part.count] ^ prefix[part.start];
    part.start = (part.start + n - first) % n;
  }
  std::rotate(order.begin(), order.begin() + first, order.end());
}

}  // namespace

Result<Snapshot> snapshot_over(std::string_view text, std::span<const LeafId> leaves,
                               std::span<const Key> labels, std::span<const Check> checks,
                               std::uint64_t tree_index, bool rooted) {
  Key total_key = 0;
  for (LeafId leaf : leaves) total_key ^= labels[leaf];
  std::size_t next = 0;
  auto leaf_step = [&](std::string_view) -> Result<Leaf> {
    if (next == leaves.size()) throw InvariantFailure("a tree has more leaves than its first reading found");
    const LeafId leaf = leaves[next++];
    return Leaf{leaf, labels[leaf]};
  };
  const auto n = static_cast<std::uint32_t>(leaves.size());
  Result<Walked> walked = walk(text, tree_index, n, total_key, checks, rooted, leaf_step);
  if (!walked) return std::move(walked).take_error();
  if (next != leaves.size()) throw InvariantFailure("a tree has fewer leaves than its first reading found");
  Snapshot tree{std::move(walked.value().parts), std::move(walked.value().order), (labels.size() + 63) / 64};
  if (!rooted) rotate_to_first_taxon(tree, total_key, labels);
  return tree;
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
