// The words of NEXUS commands outside tree text: names, quoted names (with
// '' for an apostrophe) and the marks ';', '=' and ','.
#pragma once

#include <optional>
#include <string>

#include "text_window.hpp"

namespace cladomatic {

struct NexusWord {
  std::string text;
  bool quoted = false;
  char mark = 0;  // ';', '=' or ',' when the word is that mark

  bool is(char wanted) const noexcept { return mark == wanted; }
};

// Moves past whitespace, '[' comments and stray ']'; false at the end of the
// text, or on a comment never closed (an error of the window).
bool skip_blanks(TextWindow& window);

// The next word; nothing at the end of the text or on an error.
std::optional<NexusWord> next_word(TextWindow& window);

}  // namespace cladomatic
