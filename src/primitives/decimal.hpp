// The one grammar for unsigned decimal numbers in text, shared by branch
// lengths and the engines' settings: digits with at most one point and at
// least one digit, then an optional exponent ([eE] [+-] digits), the whole
// text and nothing else.
#pragma once

#include <optional>
#include <string_view>

namespace cladomatic {

// Correctly rounded; a value beyond the double range reads as inf, one too
// small for the smallest subnormal as 0.  nullopt when `text` breaks the
// grammar.
std::optional<double> parse_unsigned_decimal(std::string_view text) noexcept;

}  // namespace cladomatic
