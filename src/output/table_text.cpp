#include "table_text.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "snapshot/result.hpp"

namespace cladomatic {
namespace {

void append_cell(std::string& out, std::uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_cell(std::string& out, double value) {
  append_float(out, value);
}

// Rows per task: enough text per task (a few hundred KiB for long rows) that
// joining the pieces costs little next to formatting them.
std::size_t rows_per_task(std::size_t columns) {
  return std::max<std::size_t>(1, 65536 / (columns + 1));
}

template <class Cell>
std::string format_table(std::span<const std::string_view> names, std::span<const Cell> cells,
                         char delimiter) {
  const std::size_t rows = names.size();
  if (rows == 0) {
    if (!cells.empty()) throw InvariantFailure("cells without rows");
    return {};
  }
  if (cells.size() % rows != 0) throw InvariantFailure("cells do not make whole rows");
  const std::size_t columns = cells.size() / rows;
  const std::size_t step = rows_per_task(columns);
  std::vector<std::string> pieces((rows + step - 1) / step);
  tbb::parallel_for(std::size_t{0}, pieces.size(), [&](std::size_t piece) {
    std::string& text = pieces[piece];
    const std::size_t end = std::min(rows, (piece + 1) * step);
    for (std::size_t r = piece * step; r < end; ++r) {
      append_field(text, names[r], delimiter);
      const Cell* row = cells.data() + r * columns;
      for (std::size_t c = 0; c < columns; ++c) {
        text.push_back(delimiter);
        append_cell(text, row[c]);
      }
      text.push_back('\n');
    }
  });
  std::size_t size = 0;
  for (const std::string& piece : pieces) size += piece.size();
  std::string out;
  out.reserve(size);
  for (std::string& piece : pieces) {
    out += piece;
    piece = {};
  }
  return out;
}

}  // namespace

void append_field(std::string& out, std::string_view field, char delimiter) {
  if (field.find_first_of(std::string_view{"\"\r\n"}) == std::string_view::npos &&
      field.find(delimiter) == std::string_view::npos) {
    out += field;
    return;
  }
  out.push_back('"');
  for (char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest digits that read back, in scientific form d[.ddd]e±x.
  char buffer[40];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[20];
  std::size_t k = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[k++] = *p;
  }
  int exponent = 0;
  const char* exponent_text = p + 1;
  if (*exponent_text == '+') ++exponent_text;  // from_chars takes a minus sign only
  std::from_chars(exponent_text, end, exponent);
  // Python writes decimals for exponents -4 to 15 and exponent form beyond.
  if (exponent < -4 || exponent > 15) {
    out.push_back(digits[0]);
    if (k > 1) {
      out.push_back('.');
      out.append(digits + 1, k - 1);
    }
    char tail[8];
    const auto tail_end = std::to_chars(tail, tail + sizeof tail, std::abs(exponent)).ptr;
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    if (tail_end - tail < 2) out.push_back('0');
    out.append(tail, tail_end);
    return;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, k);
  } else if (static_cast<std::size_t>(point) >= k) {
    out.append(digits, k);
    out.append(static_cast<std::size_t>(point) - k, '0');
    out += ".0";
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits + point, k - static_cast<std::size_t>(point));
  }
}

std::string format_rows(std::span<const std::string_view> names, std::span<const std::uint32_t> cells,
                        char delimiter) {
  return format_table(names, cells, delimiter);
}

std::string format_rows(std::span<const std::string_view> names, std::span<const double> cells,
                        char delimiter) {
  return format_table(names, cells, delimiter);
}

}  // namespace cladomatic
