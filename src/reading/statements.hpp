// Statements of a tree file: the text up to a ';' that is not inside a
// comment or a quoted stretch.  A Newick tree is one; so is every NEXUS
// command.
#pragma once

#include "text_window.hpp"

namespace cladomatic {

// Moves past the engine's whitespace; false when the text ends first.
bool skip_space(TextWindow& window);

struct Passed {
  bool ended = false;          // a ';' was passed (else the text ended first)
  bool single_quotes = false;  // a single-quoted stretch was passed
};

// Moves past the next ';' outside '[' comments and single-quoted stretches,
// and, in tree text, double-quoted stretches (which the engine keeps whole in
// a label), or to the end of the text.
Passed pass_statement(TextWindow& window, bool tree_text);

// Moves past the next `closer`; false when the text ends first.
bool pass_closer(TextWindow& window, char closer);

}  // namespace cladomatic
