#include <limits>

#include "../primitives/decimal.hpp"
#include "newick.hpp"

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

std::optional<double> parse_branch_length(std::string_view text) noexcept {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return std::nullopt;
  if (body[0] != '.' && (body[0] < '0' || body[0] > '9')) {
    double value;
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
      value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
      value = std::numeric_limits<double>::quiet_NaN();
    } else {
      return std::nullopt;
    }
    return negative ? -value : value;
  }
  double value;
  if (!parse_unsigned_decimal(body, value)) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace cladomatic
