#include "assignment.hpp"

#include <algorithm>
#include <limits>

namespace cladomatic {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// Throughout, every assigned row's column is one of its columns of least
// reduced cost c(i, j) - v(j): the row's potential is implicit, and the
// searches below read it off its column.

void Assignment::augmenting_row_reduction(std::span<const double> cost, std::size_t m) {
  // Two passes over the free rows.  A free row takes its least column; when
  // that column's row had it, the column's potential drops by the gap to the
  // row's second least, so that the row displaced looks at once for another
  // column if the gap was positive, and waits for the next pass if not.  The
  // steps are capped, so that rounding cannot make two rows trade a column
  // forever.
  const auto at = [&](std::size_t i, std::size_t j) { return cost[i * m + j]; };
  std::size_t steps = 0;
  const std::size_t most_steps = 8 * m;
  for (int pass = 0; pass < 2; ++pass) {
    const std::size_t waiting = free_.size();
    std::size_t kept = 0;
    std::size_t k = 0;
    while (k < waiting) {
      const std::uint32_t i = free_[k++];
      if (++steps > most_steps) {
        free_[kept++] = i;
        continue;
      }
      double least = at(i, 0) - v_[0];
      double second = kInf;
      std::size_t j1 = 0;
      std::size_t j2 = 0;
      for (std::size_t j = 1; j < m; ++j) {
        const double h = at(i, j) - v_[j];
        if (h < second) {
          if (h >= least) {
            second = h;
            j2 = j;
          } else {
            second = least;
            least = h;
            j2 = j1;
            j1 = j;
          }
        }
      }
      std::uint32_t displaced = row_of_[j1];
      if (least < second) {
        v_[j1] -= second - least;
      } else if (displaced != kNone) {
        j1 = j2;
        displaced = row_of_[j2];
      }
      row_of_[j1] = i;
      column_of_[i] = static_cast<std::uint32_t>(j1);
      if (displaced == kNone) continue;
      column_of_[displaced] = kNone;
      if (least < second) {
        free_[--k] = displaced;
      } else {
        free_[kept++] = displaced;
      }
    }
    free_.resize(kept);
  }
}

void Assignment::augment(std::span<const double> cost, std::size_t m, std::uint32_t start) {
  // A shortest path from the free row over reduced costs (Dijkstra), the
  // columns at the least distance taken together: `order` holds the columns
  // scanned, then those at the least distance still to scan, then the rest.
  const auto at = [&](std::size_t i, std::size_t j) { return cost[i * m + j]; };
  for (std::size_t j = 0; j < m; ++j) {
    distance_[j] = at(start, j) - v_[j];
    via_[j] = start;
    order_[j] = static_cast<std::uint32_t>(j);
  }
  std::size_t scanned = 0;  // order_[0, scanned): scanned
  std::size_t level = 0;    // order_[scanned, level): at the least distance, to scan
  std::size_t ready = 0;    // order_[0, ready): final when the path was found
  double least = 0.0;
  std::uint32_t end = kNone;
  while (end == kNone) {
    if (level == scanned) {
      ready = scanned;
      least = distance_[order_[level++]];
      for (std::size_t k = level; k < m; ++k) {
        const std::uint32_t j = order_[k];
        const double h = distance_[j];
        if (h <= least) {
          if (h < least) {
            level = scanned;
            least = h;
          }
          order_[k] = order_[level];
          order_[level++] = j;
        }
      }
      for (std::size_t k = scanned; k < level; ++k) {
        if (row_of_[order_[k]] == kNone) {
          end = order_[k];
          break;
        }
      }
      if (end != kNone) break;
    }
    const std::uint32_t j1 = order_[scanned++];
    const std::uint32_t i = row_of_[j1];
    const double h = at(i, j1) - v_[j1] - least;
    for (std::size_t k = level; k < m; ++k) {
      const std::uint32_t j = order_[k];
      const double through = at(i, j) - v_[j] - h;
      if (through < distance_[j]) {
        via_[j] = i;
        if (through == least) {
          if (row_of_[j] == kNone) {
            end = j;
            break;
          }
          order_[k] = order_[level];
          order_[level++] = j;
        }
        distance_[j] = through;
      }
    }
  }
  // The scanned columns' potentials keep their rows' least columns least.
  for (std::size_t k = 0; k < ready; ++k) {
    const std::uint32_t j = order_[k];
    v_[j] += distance_[j] - least;
  }
  for (;;) {
    const std::uint32_t i = via_[end];
    row_of_[end] = i;
    const std::uint32_t next = column_of_[i];
    column_of_[i] = end;
    if (i == start) break;
    end = next;
  }
}

void Assignment::solve(std::span<const double> cost, std::size_t m) {
  v_.assign(m, 0.0);
  row_of_.assign(m, kNone);
  column_of_.assign(m, kNone);
  distance_.resize(m);
  via_.resize(m);
  order_.resize(m);
  free_.clear();
  if (m == 0) return;
  // Column reduction: each column's potential is its least cost, and the
  // column goes to that row unless the row has one already.
  for (std::size_t j = 0; j < m; ++j) {
    double best = kInf;
    std::size_t row = 0;
    for (std::size_t i = 0; i < m; ++i) {
      if (cost[i * m + j] < best) {
        best = cost[i * m + j];
        row = i;
      }
    }
    v_[j] = best;
    if (column_of_[row] == kNone) {
      column_of_[row] = static_cast<std::uint32_t>(j);
      row_of_[j] = static_cast<std::uint32_t>(row);
    }
  }
  // Every reduced cost is now >= 0 and 0 on the pairs assigned: each row's
  // column is one of its least.
  for (std::size_t i = 0; i < m; ++i)
    if (column_of_[i] == kNone) free_.push_back(static_cast<std::uint32_t>(i));
  if (m >= 2) augmenting_row_reduction(cost, m);
  // An augmenting path never takes a row's column away, only moves it: the
  // rows left free now are the ones to add, one path each.
  for (const std::uint32_t i : free_) augment(cost, m, i);
}

}  // namespace cladomatic
