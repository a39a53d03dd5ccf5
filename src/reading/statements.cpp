#include "statements.hpp"

#include <array>
#include <cstring>

#include "primitives/find_bytes.hpp"
#include "snapshot/syntax.hpp"

namespace cladomatic {

bool skip_space(TextWindow& window) {
  for (;;) {
    const char* at = window.cursor();
    while (at != window.end() && byte_class(*at) == ByteClass::space) ++at;
    window.advance_to(at);
    if (at != window.end()) return true;
    if (!window.more()) return false;
  }
}

bool pass_closer(TextWindow& window, char closer) {
  for (;;) {
    const void* found = std::memchr(window.cursor(), closer, window.buffered());
    if (found != nullptr) {
      window.advance_to(static_cast<const char*>(found) + 1);
      return true;
    }
    window.advance_to(window.end());
    if (!window.more()) return false;
  }
}

Passed pass_statement(TextWindow& window, bool tree_text) {
  const std::array<char, 4> special =
      tree_text ? std::array<char, 4>{';', '[', '"', '\''} : std::array<char, 4>{';', '[', '\'', '\''};
  Passed passed;
  for (;;) {
    const char* at = find_first_of(window.cursor(), window.end(), special);
    if (at == window.end()) {
      window.advance_to(at);
      if (!window.more()) return passed;
      continue;
    }
    const char mark = *at;
    window.advance_to(at + 1);
    if (mark == ';') {
      passed.ended = true;
      return passed;
    }
    passed.single_quotes |= mark == '\'';
    if (!pass_closer(window, mark == '[' ? ']' : mark)) return passed;
  }
}

}  // namespace cladomatic
