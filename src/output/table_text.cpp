#include "table_text.hpp"

#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

#include "snapshot/result.hpp"

namespace cladomatic {
namespace {

// The longest spellings: "-2.2250738585072014e-308" and "4294967295".
constexpr std::size_t kFloatChars = 24;
constexpr std::size_t kCountChars = 10;

bool needs_quotes(std::string_view field, char delimiter) noexcept {
  for (char c : field) {
    if (c == delimiter || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

char* write_field(char* to, std::string_view field, char delimiter) noexcept {
  if (!needs_quotes(field, delimiter)) {
    std::memcpy(to, field.data(), field.size());
    return to + field.size();
  }
  *to++ = '"';
  for (char c : field) {
    if (c == '"') *to++ = '"';
    *to++ = c;
  }
  *to++ = '"';
  return to;
}

char* write_cell(char* to, std::uint32_t value) noexcept {
  return std::to_chars(to, to + kCountChars, value).ptr;
}

// Python's repr of a float: the shortest digits that read back, as decimals
// for exponents -4 to 15 and in exponent form (at least two exponent digits)
// beyond; integral values keep ".0".
char* write_cell(char* to, double value) noexcept {
  if (std::isnan(value)) return std::copy_n("nan", 3, to);
  if (std::isinf(value)) return value < 0 ? std::copy_n("-inf", 4, to) : std::copy_n("inf", 3, to);
  char buffer[32];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  if (*p == '-') *to++ = *p++;
  char digits[20];
  std::size_t k = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[k++] = *p;
  }
  const bool negative_exponent = p[1] == '-';
  int magnitude = 0;
  std::from_chars(p + 2, end, magnitude);
  const int exponent = negative_exponent ? -magnitude : magnitude;
  if (exponent < -4 || exponent > 15) {
    *to++ = digits[0];
    if (k > 1) {
      *to++ = '.';
      to = std::copy_n(digits + 1, k - 1, to);
    }
    *to++ = 'e';
    *to++ = negative_exponent ? '-' : '+';
    if (magnitude < 10) *to++ = '0';
    return std::to_chars(to, to + 3, magnitude).ptr;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    *to++ = '0';
    *to++ = '.';
    to = std::fill_n(to, -point, '0');
    return std::copy_n(digits, k, to);
  }
  const auto whole = static_cast<std::size_t>(point);
  if (whole >= k) {
    to = std::copy_n(digits, k, to);
    to = std::fill_n(to, whole - k, '0');
    *to++ = '.';
    *to++ = '0';
    return to;
  }
  to = std::copy_n(digits, whole, to);
  *to++ = '.';
  return std::copy_n(digits + whole, k - whole, to);
}

// Rows per task: at most about a million characters of text per task, so
// that copying the pieces out costs little next to formatting them, and
// fewer when that spreads a short call over every thread.
std::size_t rows_per_task(std::size_t rows, std::size_t columns) {
  const auto threads = static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()));
  const std::size_t shared = (rows + threads - 1) / threads;
  return std::max<std::size_t>(1, std::min(65536 / (columns + 1), shared));
}

template <class Cell>
TableText format_table(std::span<const std::string_view> names, std::span<const Cell> cells, char delimiter,
                       std::size_t cell_chars) {
  const std::size_t rows = names.size();
  TableText text;
  if (rows == 0) {
    if (!cells.empty()) throw InvariantFailure("cells without rows");
    return text;
  }
  if (cells.size() % rows != 0) throw InvariantFailure("cells do not make whole rows");
  const std::size_t columns = cells.size() / rows;
  const std::size_t step = rows_per_task(rows, columns);
  text.pieces.resize((rows + step - 1) / step);
  tbb::parallel_for(std::size_t{0}, text.pieces.size(), [&](std::size_t piece) {
    const std::size_t begin = piece * step;
    const std::size_t end = std::min(rows, begin + step);
    // Sized for the longest spelling of everything, so that writing never
    // checks for room.
    std::size_t room = (end - begin) * (columns * (cell_chars + 1) + 1);
    for (std::size_t r = begin; r < end; ++r) room += 2 * names[r].size() + 2;
    TableText::Piece& out = text.pieces[piece];
    out.text = std::make_unique_for_overwrite<char[]>(room);
    char* to = out.text.get();
    for (std::size_t r = begin; r < end; ++r) {
      to = write_field(to, names[r], delimiter);
      const Cell* row = cells.data() + r * columns;
      for (std::size_t c = 0; c < columns; ++c) {
        *to++ = delimiter;
        to = write_cell(to, row[c]);
      }
      *to++ = '\n';
    }
    out.size = static_cast<std::size_t>(to - out.text.get());
  });
  for (const TableText::Piece& piece : text.pieces) text.size += piece.size;
  return text;
}

}  // namespace

void TableText::copy_to(char* out) const {
  std::vector<std::size_t> offsets(pieces.size());
  std::transform_exclusive_scan(pieces.begin(), pieces.end(), offsets.begin(), std::size_t{0}, std::plus<>(),
                                [](const Piece& piece) { return piece.size; });
  tbb::parallel_for(std::size_t{0}, pieces.size(), [&](std::size_t k) {
    std::memcpy(out + offsets[k], pieces[k].text.get(), pieces[k].size);
  });
}

TableText format_rows(std::span<const std::string_view> names, std::span<const std::uint32_t> cells,
                      char delimiter) {
  return format_table(names, cells, delimiter, kCountChars);
}

TableText format_rows(std::span<const std::string_view> names, std::span<const double> cells,
                      char delimiter) {
  return format_table(names, cells, delimiter, kFloatChars);
}

}  // namespace cladomatic
