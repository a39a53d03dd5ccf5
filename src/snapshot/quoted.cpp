#include "quoted.hpp"

#include <cstdint>

#include "../primitives/utf8.hpp"

namespace cladomatic {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_code_escape(std::string& out, std::uint32_t code, char kind) {
  out += '\\';
  out += kind;
  out += '{';
  int shift = 28;
  while (shift > 0 && ((code >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out += hex_digits[(code >> shift) & 0xF];
  out += '}';
}

// Characters that would be invisible or reorder the text around them in a
// message: controls, format characters, separators and private use.
bool printable(std::uint32_t code) noexcept {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  if (code == 0xAD || code == 0x61C || code == 0x180E || code == 0xFEFF) return false;
  if ((code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E)) return false;
  if (code >= 0x2060 && code <= 0x206F) return false;
  if (code >= 0xE000 && code <= 0xF8FF) return false;
  if (code >= 0xFFF9 && code <= 0xFFFB) return false;
  if ((code & 0xFFFE) == 0xFFFE) return false;
  if (code >= 0xE0000) return false;
  return true;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const std::size_t length = decode_utf8(text, i, code);
    if (length == 0) {
      // Not UTF-8: written as the byte's value so the message stays valid text.
      append_code_escape(out, static_cast<unsigned char>(text[i]), 'x');
      ++i;
      continue;
    }
    switch (code) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (printable(code)) {
          out.append(text, i, length);
        } else {
          append_code_escape(out, code, 'u');
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

}  // namespace cladomatic
