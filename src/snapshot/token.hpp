// Labels and branch-length texts cut out of Newick text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cladomatic {

// A label or branch-length text.  The common case is a view into the input;
// only a token with whitespace or quotes inside is copied and cleaned.
struct Token {
  std::string_view view;
  std::string cleaned;
  bool is_cleaned = false;
  std::size_t stop = 0;  // position of the delimiter that ended it, or the input length

  std::string_view text() const noexcept { return is_cleaned ? std::string_view(cleaned) : view; }
};

// `start` must be at most text.size() and on a character boundary.
Token token(std::string_view text, std::size_t start);

}  // namespace cladomatic
