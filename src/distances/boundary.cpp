#include "boundary.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <system_error>

namespace cladomatic {
namespace {

// Validates `text` as strict UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF) and cuts Unicode white space (the White_Space property) from
// both ends, in one pass and without allocating.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::optional<std::string_view> trim_utf8(std::string_view text) {
  std::size_t first = text.size();
  std::size_t last = text.size();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    char32_t value;
    char32_t min;
    if (lead < 0x80) {
      extra = 0, value = lead, min = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, value = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, value = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, value = lead & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      value = (value << 6) | (next & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    if (!is_space(value)) {
      if (first == text.size()) first = i;
      last = i + extra + 1;
    }
    i += extra + 1;
  }
  if (first == text.size()) return std::string_view{};
  return text.substr(first, last - first);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

double read_setting(const char* name, double fallback) {
  const char* raw = std::getenv(name);
  return raw == nullptr ? fallback : parse_dense_share(raw, fallback);
}

}  // namespace

double parse_dense_share(std::string_view text, double fallback) noexcept {
  const std::optional<std::string_view> trimmed = trim_utf8(text);
  if (!trimmed || trimmed->empty()) return fallback;
  std::string_view body = *trimmed;
  bool negative = false;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  // The grammar is checked by hand: from_chars accepts other forms (inf, nan)
  // and no leading '+'.  Along the way note the decimal order of the first
  // nonzero digit, which tells overflow from underflow below.
  std::size_t i = 0;
  std::size_t digits = 0;
  long order = 0;
  bool nonzero = false;
  for (; i < body.size() && is_digit(body[i]); ++i, ++digits) {
    if (nonzero) {
      ++order;
    } else if (body[i] != '0') {
      nonzero = true;
    }
  }
  if (i < body.size() && body[i] == '.') {
    for (++i; i < body.size() && is_digit(body[i]); ++i, ++digits) {
      if (nonzero) continue;
      --order;
      nonzero = body[i] != '0';
    }
  }
  if (digits == 0) return fallback;
  long exponent = 0;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) exp_negative = body[i++] == '-';
    const std::size_t exp_begin = i;
    for (; i < body.size() && is_digit(body[i]); ++i) {
      if (exponent < 1000000) exponent = exponent * 10 + (body[i] - '0');
    }
    if (i == exp_begin) return fallback;
    if (exp_negative) exponent = -exponent;
  }
  if (i != body.size()) return fallback;

  double value = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (order + exponent >= 0) return fallback;  // overflow: infinite
    value = 0.0;                                 // underflow
  } else if (ec != std::errc{} || end != body.data() + body.size()) {
    return fallback;
  }
  if (!std::isfinite(value)) return fallback;
  if (negative && value != 0.0) return fallback;
  return negative ? 0.0 : value;
}

std::uint32_t dense_threshold(double share, std::size_t n) noexcept {
  const double product = std::ceil(share * static_cast<double>(n));
  std::uint32_t t;
  if (!(product > 0.0)) {
    t = 0;
  } else if (product >= 4294967295.0) {
    t = 0xFFFFFFFFu;
  } else {
    t = static_cast<std::uint32_t>(product);
  }
  return t < 2 ? 2 : t;
}

double rf_dense_share() {
  static const double share = read_setting("CLADOMATIC_RF_DENSE_SHARE", kRfDenseShareDefault);
  return share;
}

double weighted_dense_share() {
  static const double share = read_setting("CLADOMATIC_WEIGHTED_DENSE_SHARE", kWeightedDenseShareDefault);
  return share;
}

}  // namespace cladomatic
