#include <charconv>
#include <cstdint>
#include <limits>

#include "newick.hpp"

namespace cladomatic {
namespace {

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// The grammar is checked here because from_chars alone accepts a prefix and
// allows forms (hexadecimal-looking words, "nan(...)") that Newick must not.
struct Shape {
  bool valid = false;
  std::int64_t magnitude = 0;  // decimal exponent of the leading nonzero digit, 0 for zero
};

Shape check_decimal(std::string_view s) noexcept {
  Shape shape;
  std::size_t i = 0;
  std::int64_t digits_before_point = 0;
  std::int64_t leading_digit = -1;  // position of the first nonzero digit among all digits
  std::int64_t digit_count = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (is_digit(c)) {
      if (c != '0' && leading_digit < 0) leading_digit = digit_count;
      ++digit_count;
      if (!point) ++digits_before_point;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digit_count == 0) return shape;
  // Saturated well beyond the range of doubles, so a long exponent cannot overflow.
  constexpr std::int64_t exponent_cap = std::int64_t{1} << 40;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::size_t first = i;
    for (; i < s.size() && is_digit(s[i]); ++i) {
      if (exponent < exponent_cap) exponent = exponent * 10 + (s[i] - '0');
    }
    if (i == first) return shape;
    if (negative) exponent = -exponent;
  }
  if (i != s.size()) return shape;
  shape.valid = true;
  if (leading_digit >= 0) shape.magnitude = digits_before_point - leading_digit - 1 + exponent;
  return shape;
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
  if (!is_digit(body[0]) && body[0] != '.') {
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
  Shape shape = check_decimal(body);
  if (!shape.valid) return std::nullopt;
  double value = 0.0;
  auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Out of range is either side of the double range; the magnitude says which.
    value = shape.magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc{} || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace cladomatic
