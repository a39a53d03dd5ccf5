// The linear assignment problem on a dense square matrix of costs: the
// permutation of least summed cost.
//
// Why this solver.  The generalised RF distances solve one small problem per
// pair of trees (as many rows as the splits the two trees do not share), and
// a matrix of distances is millions of them, so what matters is the constant
// of a dense solve and that nothing is allocated per problem.  Jonker and
// Volgenant's shortest augmenting path (Computing 38:325, 1987) suits both:
// dense matrices, O(m^3) in the worst case and far less on the matrices met
// here, and a workspace of a few vectors of m that a thread keeps from one
// problem to the next.  Its column reduction and augmenting row reduction
// assign most rows cheaply; the rest are assigned one shortest augmenting
// path each, a Dijkstra search over reduced costs kept non-negative by the
// column potentials, which takes all columns at the least distance at once:
// the similarities of splits take few distinct values (they depend on three
// counts), so ties are the rule, and a search that took them one at a time
// would cost m steps of m each.  Auction and
// cost-scaling algorithms need integer costs or give up exactness; the
// Hungarian method in its textbook form costs O(m^4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cladomatic {

class Assignment {
 public:
  // Solves for the m x m row-major `cost`; afterwards column_of(r) is the
  // column assigned to row r.  The same matrix gives the same assignment.
  void solve(std::span<const double> cost, std::size_t m);
  std::uint32_t column_of(std::size_t row) const noexcept { return column_of_[row]; }

 private:
  void augmenting_row_reduction(std::span<const double> cost, std::size_t m);
  void augment(std::span<const double> cost, std::size_t m, std::uint32_t start);

  std::vector<double> v_, distance_;  // column potentials; a search's distances
  std::vector<std::uint32_t> row_of_, column_of_, free_, via_, order_;
};

}  // namespace cladomatic
