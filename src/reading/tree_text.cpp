#include "tree_text.hpp"

#include <cstring>

#include "primitives/find_bytes.hpp"
#include "snapshot/syntax.hpp"

namespace cladomatic {

std::optional<bool> rooting_mark(std::string_view text) noexcept {
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && byte_class(text[i]) == ByteClass::space) ++i;
    if (i == text.size() || text[i] != '[') return std::nullopt;
    const std::size_t close = text.find(']', i + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view comment = text.substr(i + 1, close - i - 1);
    if (comment.size() == 2 && comment[0] == '&') {
      if (comment[1] == 'R' || comment[1] == 'r') return true;
      if (comment[1] == 'U' || comment[1] == 'u') return false;
    }
    i = close + 1;
  }
}

bool has_branch_lengths(std::string_view text) noexcept {
  const char* at = text.data();
  const char* end = at + text.size();
  for (;;) {
    at = find_first_of(at, end, {':', '[', ':', '['});
    if (at == end) return false;
    if (*at == ':') return true;
    at = static_cast<const char*>(std::memchr(at, ']', static_cast<std::size_t>(end - at)));
    if (at == nullptr) return false;
  }
}

}  // namespace cladomatic
