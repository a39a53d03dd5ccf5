// What a tree's text says before it is parsed: its rooting comment and
// whether it gives branch lengths.
#pragma once

#include <optional>
#include <string_view>

namespace cladomatic {

// The rooting comment among the comments before the tree (MrBayes and BEAST
// write `[&R]` or `[&U]`, either case): true for rooted, false for unrooted,
// nothing without one.
std::optional<bool> rooting_mark(std::string_view text) noexcept;

// Whether a ':' outside comments gives some edge a length.
bool has_branch_lengths(std::string_view text) noexcept;

}  // namespace cladomatic
