// The one grammar for unsigned decimal numbers in text, shared by branch
// lengths and the engines' settings: digits with at most one point and at
// least one digit, then an optional exponent ([eE] [+-] digits), the whole
// text and nothing else.
#pragma once

#include <optional>
#include <string_view>

namespace cladomatic {

// Correctly rounded into `value`; a value beyond the double range reads as
// inf, one too small for the smallest subnormal as 0.  False when `text`
// breaks the grammar.  The flag and out-parameter are for speed: GCC builds a
// returned std::optional<double> in memory, and reading it back stalls the
// branch-length loop.
bool parse_unsigned_decimal(std::string_view text, double& value) noexcept;

inline std::optional<double> parse_unsigned_decimal(std::string_view text) noexcept {
  double value;
  if (!parse_unsigned_decimal(text, value)) return std::nullopt;
  return value;
}

}  // namespace cladomatic
