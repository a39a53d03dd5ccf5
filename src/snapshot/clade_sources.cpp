#include "clade_sources.hpp"

#include <algorithm>

namespace cladomatic {

RowSource sorted_row(CladeSources& sources, std::span<const LeafId> first, std::span<const LeafId> second) {
  RowSource row{.at = sources.pool.size(), .count = static_cast<std::uint32_t>(first.size() + second.size())};
  sources.pool.insert(sources.pool.end(), first.begin(), first.end());
  sources.pool.insert(sources.pool.end(), second.begin(), second.end());
  std::sort(sources.pool.begin() + static_cast<std::ptrdiff_t>(row.at), sources.pool.end());
  return row;
}

CladeTable lay_out_clades(const CladeSources& sources) {
  const std::uint32_t n_leaves = sources.n_leaves;
  std::size_t entries = n_leaves;
  for (const RowSource& row : sources.rows) entries += row.complement ? row.order - row.count : row.count;
  CladeTable table = CladeTable::singletons(n_leaves);
  table.leaves.reserve(entries);
  table.offsets.reserve(n_leaves + sources.rows.size() + 1);
  const std::span<const LeafId> pool(sources.pool);
  for (const RowSource& row : sources.rows) {
    if (row.order == 0) {
      table.push(pool.subspan(row.at, row.count));
      continue;
    }
    const std::span<const LeafId> order = pool.subspan(row.at, row.order);
    if (row.complement) {
      table.push(order.first(row.start), order.subspan(row.start + row.count));
    } else {
      table.push(order.subspan(row.start, row.count));
    }
  }
  return table;
}

}  // namespace cladomatic
