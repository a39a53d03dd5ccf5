// The checks a tree's leaves pass against a call's leaf set, and their
// messages: shared by the readers that build splits and those that keep the
// tree's shape.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quoted.hpp"
#include "result.hpp"
#include "translate_map.hpp"

namespace cladomatic {
// Internal linkage in each reader that includes this, as when these lived in
// one file: the plain reader's code does not change for being shared.
namespace {

Error repeated_leaf(std::uint64_t tree_index, std::string_view name) {
  return Error{"Tree " + std::to_string(tree_index) + " repeats the leaf name " + quoted(name) +
                   ". All leaf names must be unique.",
               tree_index};
}

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
}  // namespace cladomatic
