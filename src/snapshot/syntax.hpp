// Byte classes of Newick text, shared by the tokenizer and the walker.  Only
// ASCII bytes are structural: every byte of a multi-byte UTF-8 sequence is
// plain label text, so scanning bytes never splits a character wrongly.
#pragma once

#include <array>
#include <cstdint>

namespace cladomatic {

enum class ByteClass : std::uint8_t { text, space, delimiter, quote };

inline constexpr std::array<ByteClass, 256> byte_classes = [] {
  std::array<ByteClass, 256> classes{};
  // Vertical tab (11) is deliberately not whitespace.
  for (unsigned char c : {'\t', '\n', '\f', '\r', ' '}) classes[c] = ByteClass::space;
  for (unsigned char c : {'(', ')', ',', ':', ';', '[', ']'}) classes[c] = ByteClass::delimiter;
  classes['"'] = ByteClass::quote;
  return classes;
}();

inline ByteClass byte_class(char c) noexcept {
  return byte_classes[static_cast<unsigned char>(c)];
}

}  // namespace cladomatic
