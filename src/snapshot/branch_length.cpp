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
  // The digits as an integer times 10^scale, when they fit 64 bits.
  bool mantissa_fits = false;
  std::uint64_t mantissa = 0;
  std::int64_t scale = 0;
};

const char* skip_digits(const char* p, const char* end) noexcept {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

Shape check_decimal(std::string_view s) noexcept {
  Shape shape;
  const char* const end = s.data() + s.size();
  const char* const int_begin = s.data();
  const char* const int_end = skip_digits(int_begin, end);
  const char* frac_begin = int_end;
  const char* frac_end = int_end;
  if (frac_begin != end && *frac_begin == '.') frac_end = skip_digits(++frac_begin, end);
  const std::int64_t int_digits = int_end - int_begin;
  const std::int64_t frac_digits = frac_end - frac_begin;
  if (int_digits + frac_digits == 0) return shape;

  const char* p = frac_end;
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* digits_end = skip_digits(p, end);
    if (digits_end == p) return shape;
    // Saturated far beyond the range of doubles, so a long exponent cannot overflow.
    constexpr std::int64_t exponent_cap = std::int64_t{1} << 40;
    for (; p != digits_end; ++p) {
      if (exponent < exponent_cap) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (p != end) return shape;
  shape.valid = true;

  // Leading zeros carry no value; up to 19 digits after them fit 64 bits.
  std::int64_t leading_zeros = 0;
  while (leading_zeros < int_digits && int_begin[leading_zeros] == '0') ++leading_zeros;
  if (leading_zeros == int_digits) {
    while (leading_zeros < int_digits + frac_digits && frac_begin[leading_zeros - int_digits] == '0')
      ++leading_zeros;
  }
  const std::int64_t significant = int_digits + frac_digits - leading_zeros;
  if (significant > 0) shape.magnitude = int_digits - leading_zeros - 1 + exponent;
  if (significant <= 19) {
    std::uint64_t mantissa = 0;
    for (const char* d = int_begin; d != int_end; ++d)
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(*d - '0');
    for (const char* d = frac_begin; d != frac_end; ++d)
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(*d - '0');
    shape.mantissa_fits = true;
    shape.mantissa = mantissa;
    shape.scale = exponent - frac_digits;
  }
  return shape;
}

// Clinger's fast path: an integer below 2^53 and a power of ten up to 10^22
// are both exact doubles, so one multiplication or division rounds correctly.
// It covers nearly every length a program writes and skips the general parser.
std::optional<double> exact_quotient(const Shape& shape) noexcept {
  static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (!shape.mantissa_fits || shape.mantissa > (std::uint64_t{1} << 53)) return std::nullopt;
  if (shape.scale < -22 || shape.scale > 22) return std::nullopt;
  auto value = static_cast<double>(shape.mantissa);
  return shape.scale < 0 ? value / powers[-shape.scale] : value * powers[shape.scale];
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
  if (std::optional<double> exact = exact_quotient(shape)) return negative ? -*exact : *exact;
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
