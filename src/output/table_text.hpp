// Distance tables as delimited text (TSV, CSV), spelled as the command has
// always written them: names quoted only when they must be, counts in
// decimal, floats in the shortest form that reads back to the same bits, in
// Python's spelling (1.0, 0.0001, 1e-05, 1.5e+16, inf, nan, -0.0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace cladomatic {

// Text made in pieces, in order, `size` bytes in all: it goes straight into
// its destination (a bytes object's payload) with no joined copy between.
struct TableText {
  struct Piece {
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
  };
  std::vector<Piece> pieces;
  std::size_t size = 0;

  // Writes the pieces in order to `out`, which holds `size` bytes; pieces are
  // copied in parallel.
  void copy_to(char* out) const;
};

// One line per name: the name (quoted, with quotes doubled, when it holds the
// delimiter, a quote, CR or LF), then its row of `cells` (names.size() rows of
// cells.size() / names.size() cells, row-major), each cell after the
// delimiter, then LF.  Rows are formatted in parallel; the text does not
// depend on the thread count.  Throws InvariantFailure when the cells do not
// make whole rows.
TableText format_rows(std::span<const std::string_view> names, std::span<const std::uint32_t> cells,
                      char delimiter);
TableText format_rows(std::span<const std::string_view> names, std::span<const double> cells, char delimiter);

}  // namespace cladomatic
