#include "statements.hpp"

#include <cstring>

#include "snapshot/syntax.hpp"
#include "statement_ends.hpp"

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
  StatementScan scan;
  for (;;) {
    const char* at = find_statement_end(window.cursor(), window.end(), tree_text, scan, window.simd());
    if (at != window.end()) {
      window.advance_to(at + 1);
      return {true, scan.single_quotes};
    }
    window.advance_to(at);
    if (!window.more()) return {false, scan.single_quotes};
  }
}

}  // namespace cladomatic
