#include "nexus_words.hpp"

#include "snapshot/syntax.hpp"
#include "statements.hpp"

namespace cladomatic {
namespace {

bool word_byte(char c) noexcept {
  return byte_class(c) != ByteClass::space && c != '[' && c != ']' && c != ';' && c != '=' && c != ',' &&
         c != '\'';
}

std::optional<NexusWord> quoted_name(TextWindow& window) {
  const std::uint64_t line = window.line();
  window.advance(1);
  window.collect();
  for (;;) {
    if (!pass_closer(window, '\'')) {
      window.fail(line, "a quoted name is never closed");
      return std::nullopt;
    }
    // Whether this quote is doubled may be decided by the next chunk.
    window.want(1);
    if (window.buffered() == 0 || *window.cursor() != '\'') break;
    window.advance(1);
  }
  std::optional<std::string_view> raw = window.collected();
  if (!raw) return std::nullopt;
  NexusWord word;
  word.quoted = true;
  const std::string_view inside = raw->substr(0, raw->size() - 1);
  word.text.reserve(inside.size());
  for (std::size_t i = 0; i < inside.size(); ++i) {
    word.text += inside[i];
    if (inside[i] == '\'') ++i;  // the second quote of a doubled pair
  }
  return word;
}

}  // namespace

bool skip_blanks(TextWindow& window) {
  while (skip_space(window)) {
    const char c = *window.cursor();
    if (c == ']') {
      window.advance(1);
      continue;
    }
    if (c != '[') return true;
    const std::uint64_t line = window.line();
    window.advance(1);
    if (!pass_closer(window, ']')) window.fail(line, "a '[' comment is never closed");
  }
  return false;
}

std::optional<NexusWord> next_word(TextWindow& window) {
  if (!skip_blanks(window)) return std::nullopt;
  const char c = *window.cursor();
  if (c == ';' || c == '=' || c == ',') {
    window.advance(1);
    NexusWord mark;
    mark.text = std::string(1, c);
    mark.mark = c;
    return mark;
  }
  if (c == '\'') return quoted_name(window);
  window.collect();
  for (;;) {
    const char* at = window.cursor();
    while (at != window.end() && word_byte(*at)) ++at;
    window.advance_to(at);
    if (at != window.end() || !window.more()) break;
  }
  std::optional<std::string_view> text = window.collected();
  if (!text) return std::nullopt;
  NexusWord word;
  word.text = std::string(*text);
  return word;
}

}  // namespace cladomatic
