#include "decimal.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace cladomatic {
namespace {

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

const char* skip_digits(const char* p, const char* end) noexcept {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// Whether a text from_chars found out of range is above the double range
// (else below it): the decimal exponent of its leading nonzero digit says.
// Only reached for grammatical texts with a nonzero digit.
[[gnu::cold]] bool too_large(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::int64_t order = -1;
  bool nonzero = false;
  for (; p != end && is_digit(*p); ++p) {
    nonzero = nonzero || *p != '0';
    if (nonzero) ++order;
  }
  if (p != end && *p == '.') {
    ++p;
    if (!nonzero) {
      // The first fractional digit has order -1.
      for (; p != end && *p == '0'; ++p) --order;
      if (p == end || !is_digit(*p)) return false;
    }
    p = skip_digits(p, end);
  }
  std::int64_t exponent = 0;
  if (p != end) {
    ++p;  // e or E
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Saturated far beyond the range of doubles, so a long exponent cannot overflow.
    constexpr std::int64_t cap = std::int64_t{1} << 40;
    for (; p != end; ++p) {
      if (exponent < cap) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return order + exponent >= 0;
}

}  // namespace

// The grammar is checked here because from_chars alone accepts a prefix and
// other forms (inf, nan, hexadecimal-looking words).  The same pass gathers
// the digits as an integer, so the lengths programs write (a few significant
// digits, a small exponent) take Clinger's exact path: an integer up to 2^53
// and a power of ten up to 10^22 are both exact doubles, so one multiplication
// or division rounds correctly.  Everything else goes to from_chars, correctly
// rounded for every length.  bench/branch_length.sh measures both paths.
bool parse_unsigned_decimal(std::string_view text, double& value) noexcept {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  // Up to 19 digits fit 64 bits; past that the exact path is off anyway.
  std::uint64_t mantissa = 0;
  std::int64_t digits = 0;
  for (; p != end && is_digit(*p); ++p, ++digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
  std::int64_t fraction_digits = 0;
  if (p != end && *p == '.') {
    for (++p; p != end && is_digit(*p); ++p, ++fraction_digits) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    digits += fraction_digits;
  }
  if (digits == 0) return false;
  // Saturated far beyond the range of doubles, so a long exponent cannot overflow.
  constexpr std::int64_t exponent_cap = std::int64_t{1} << 40;
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const exponent_end = skip_digits(p, end);
    if (exponent_end == p) return false;
    for (; p != exponent_end; ++p) {
      if (exponent < exponent_cap) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (p != end) return false;

  static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const std::int64_t scale = exponent - fraction_digits;
  if (digits <= 19 && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
    const auto exact = static_cast<double>(mantissa);
    value = scale < 0 ? exact / powers_of_ten[-scale] : exact * powers_of_ten[scale];
    return true;
  }

  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error == std::errc::result_out_of_range) {
    value = too_large(text) ? std::numeric_limits<double>::infinity() : 0.0;
    return true;
  }
  return error == std::errc{} && stop == end;
}

}  // namespace cladomatic
