// How a tree's labels name taxa: one map per translate table of the input,
// looked up by string_view without building a string.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace cladomatic {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Newick label (for example a number of a NEXUS TRANSLATE table) to taxon name.
using TranslateMap = std::unordered_map<std::string, std::string, StringHash, std::equal_to<>>;

}  // namespace cladomatic
