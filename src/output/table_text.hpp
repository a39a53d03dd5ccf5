// Distance tables as delimited text (TSV, CSV), spelled as the command has
// always written them: names quoted only when they must be, counts in
// decimal, floats in the shortest form that reads back to the same bits, in
// Python's spelling (1.0, 0.0001, 1e-05, 1.5e+16, inf, nan, -0.0).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace cladomatic {

// One line per name: the name (quoted, with quotes doubled, when it holds the
// delimiter, a quote, CR or LF), then its row of `cells` (names.size() rows of
// cells.size() / names.size() cells, row-major), each cell after the
// delimiter, then LF.  Rows are formatted in parallel; the text does not
// depend on the thread count.  Throws InvariantFailure when the cells do not
// make whole rows.
std::string format_rows(std::span<const std::string_view> names, std::span<const std::uint32_t> cells,
                        char delimiter);
std::string format_rows(std::span<const std::string_view> names, std::span<const double> cells,
                        char delimiter);

}  // namespace cladomatic
