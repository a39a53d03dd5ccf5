#include "token.hpp"

#include <cstring>

#include "syntax.hpp"

namespace cladomatic {
namespace {

// Whitespace outside double quotes is dropped; quotes themselves are kept, so
// a quoted label carries its quote characters in its name.
std::string clean(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  bool in_quotes = false;
  for (char c : raw) {
    ByteClass cls = byte_class(c);
    if (cls == ByteClass::quote) in_quotes = !in_quotes;
    if (cls == ByteClass::space && !in_quotes) continue;
    out.push_back(c);
  }
  return out;
}

}  // namespace

Token token(std::string_view text, std::size_t start) {
  const std::size_t size = text.size();
  std::size_t pos = start;
  std::size_t content_end = start;  // one past the last byte that is not whitespace
  bool quoted_stretch = false;
  bool inner_space = false;  // whitespace followed by more text
  bool space_seen = false;
  while (pos < size) {
    ByteClass cls = byte_class(text[pos]);
    if (cls == ByteClass::text) {
      inner_space |= space_seen;
      content_end = ++pos;
    } else if (cls == ByteClass::space) {
      space_seen = true;
      ++pos;
    } else if (cls == ByteClass::quote) {
      quoted_stretch = true;
      const void* close = std::memchr(text.data() + pos + 1, '"', size - pos - 1);
      pos = close ? static_cast<std::size_t>(static_cast<const char*>(close) - text.data()) + 1 : size;
      content_end = pos;
    } else {
      break;
    }
  }
  Token result;
  result.stop = pos;
  if (!quoted_stretch && !inner_space) {
    result.view = text.substr(start, content_end - start);
  } else {
    result.cleaned = clean(text.substr(start, pos - start));
    result.is_cleaned = true;
  }
  return result;
}

}  // namespace cladomatic
