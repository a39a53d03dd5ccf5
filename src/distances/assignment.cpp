#include "assignment.hpp"

#include <algorithm>
#include <limits>

namespace cladomatic {

void Assignment::solve(std::span<const double> cost, std::size_t m) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Rows and columns count from 1; column 0 stands for the row being added.
  u_.assign(m + 1, 0.0);
  v_.assign(m + 1, 0.0);
  row_of_.assign(m + 1, 0);
  way_.assign(m + 1, 0);
  shortest_.resize(m + 1);
  done_.resize(m + 1);
  column_of_.assign(m, 0);
  const auto at = [&](std::size_t i, std::size_t j) { return cost[(i - 1) * m + (j - 1)]; };

  // Column reduction: each column's potential is its least cost, and the
  // column goes to that row unless the row has one already.  Every reduced
  // cost is then >= 0 and 0 on the pairs assigned.
  std::fill(done_.begin(), done_.end(), std::uint8_t{0});
  for (std::size_t j = 1; j <= m; ++j) {
    double best = kInf;
    std::size_t row = 1;
    for (std::size_t i = 1; i <= m; ++i) {
      if (at(i, j) < best) {
        best = at(i, j);
        row = i;
      }
    }
    v_[j] = best;
    if (!done_[row]) {
      done_[row] = 1;
      row_of_[j] = static_cast<std::uint32_t>(row);
    }
  }
  // An augmenting path never takes a row's column away, only moves it: the
  // rows left free now are the ones to add, one path each.
  free_.clear();
  for (std::size_t i = 1; i <= m; ++i)
    if (!done_[i]) free_.push_back(static_cast<std::uint32_t>(i));
  for (const std::size_t i : free_) {
    // One shortest augmenting path from row i over the reduced costs.
    row_of_[0] = static_cast<std::uint32_t>(i);
    std::size_t j0 = 0;
    std::fill(shortest_.begin(), shortest_.end(), kInf);
    std::fill(done_.begin(), done_.end(), std::uint8_t{0});
    do {
      done_[j0] = 1;
      const std::size_t i0 = row_of_[j0];
      double delta = kInf;
      std::size_t j1 = 0;
      for (std::size_t j = 1; j <= m; ++j) {
        if (done_[j]) continue;
        const double reduced = at(i0, j) - u_[i0] - v_[j];
        if (reduced < shortest_[j]) {
          shortest_[j] = reduced;
          way_[j] = static_cast<std::uint32_t>(j0);
        }
        if (shortest_[j] < delta) {
          delta = shortest_[j];
          j1 = j;
        }
      }
      for (std::size_t j = 0; j <= m; ++j) {
        if (done_[j]) {
          u_[row_of_[j]] += delta;
          v_[j] -= delta;
        } else {
          shortest_[j] -= delta;
        }
      }
      j0 = j1;
    } while (row_of_[j0] != 0);
    do {
      const std::size_t j1 = way_[j0];
      row_of_[j0] = row_of_[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  for (std::size_t j = 1; j <= m; ++j) column_of_[row_of_[j] - 1] = static_cast<std::uint32_t>(j - 1);
}

}  // namespace cladomatic
