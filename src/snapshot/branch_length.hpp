// Branch-length numbers.
#pragma once

#include <string_view>

namespace cladomatic {

// Whole-token number grammar for branch lengths: [+-] then inf/infinity/nan in
// any case, or digits with at most one point and at least one digit, then an
// optional exponent.  Correctly rounded into `value`; overflow gives inf,
// underflow 0.  False when `text` breaks the grammar (a flag, not an optional,
// for the reason parse_unsigned_decimal gives).
bool parse_branch_length(std::string_view text, double& value) noexcept;

}  // namespace cladomatic
