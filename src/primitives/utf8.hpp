// Strict UTF-8 decoding, for messages and the engines' settings: no overlong
// forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace cladomatic {

// The length (1 to 4) of the well-formed sequence at text[i], with its code
// point in `code`, or 0 when the bytes there are not UTF-8.  i < text.size().
inline std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code) noexcept {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length;
  char32_t min;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace cladomatic
