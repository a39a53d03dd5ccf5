#include "boundary.hpp"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "../primitives/decimal.hpp"
#include "../primitives/utf8.hpp"

namespace cladomatic {
namespace {

// The White_Space property.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Validates `text` as UTF-8 and cuts Unicode white space from both ends, in
// one pass and without allocating.
std::optional<std::string_view> trim_utf8(std::string_view text) {
  std::size_t first = text.size();
  std::size_t last = text.size();
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const std::size_t length = decode_utf8(text, i, code);
    if (length == 0) return std::nullopt;
    if (!is_space(code)) {
      if (first == text.size()) first = i;
      last = i + length;
    }
    i += length;
  }
  if (first == text.size()) return std::string_view{};
  return text.substr(first, last - first);
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
  const std::optional<double> parsed = parse_unsigned_decimal(body);
  if (!parsed) return fallback;
  const double value = *parsed;
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
