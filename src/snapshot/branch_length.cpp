#include "branch_length.hpp"

#include <limits>

#include "../primitives/decimal.hpp"

namespace cladomatic {
namespace {

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

}  // namespace

bool parse_branch_length(std::string_view text, double& value) noexcept {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return false;
  if (body[0] != '.' && (body[0] < '0' || body[0] > '9')) {
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
      value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
      value = std::numeric_limits<double>::quiet_NaN();
    } else {
      return false;
    }
  } else if (!parse_unsigned_decimal(body, value)) {
    return false;
  }
  if (negative) value = -value;
  return true;
}

}  // namespace cladomatic
