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
// other forms (inf, nan, hexadecimal-looking words); the digits themselves are
// left to from_chars, correctly rounded for every length.
// bench/branch_length.sh compares this with the earlier hand-written path for
// short lengths.
std::optional<double> parse_unsigned_decimal(std::string_view text) noexcept {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* const int_end = skip_digits(begin, end);
  const char* p = int_end;
  bool digits = int_end != begin;
  if (p != end && *p == '.') {
    const char* const frac_begin = ++p;
    p = skip_digits(p, end);
    digits = digits || p != frac_begin;
  }
  if (!digits) return std::nullopt;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* const exp_end = skip_digits(p, end);
    if (exp_end == p) return std::nullopt;
    p = exp_end;
  }
  if (p != end) return std::nullopt;

  double value = 0.0;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error == std::errc::result_out_of_range) {
    return too_large(text) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  if (error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

}  // namespace cladomatic
