// The assignment solver against every permutation of small matrices, ties
// the rule (few distinct costs, as the similarities of splits are), and one
// workspace reused across sizes.
#include "distances/assignment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

namespace cladomatic {
namespace {

double least_by_enumeration(const std::vector<double>& cost, std::size_t m) {
  std::vector<std::size_t> perm(m);
  std::iota(perm.begin(), perm.end(), 0);
  double best = 1e300;
  do {
    double sum = 0.0;
    for (std::size_t r = 0; r < m; ++r) sum += cost[r * m + perm[r]];
    best = std::min(best, sum);
  } while (std::next_permutation(perm.begin(), perm.end()));
  return best;
}

TEST(Assignment, LeastSumOverEveryPermutationWithTies) {
  std::mt19937 rng(34);
  Assignment solver;
  for (int round = 0; round < 600; ++round) {
    const std::size_t m = 1 + round % 7;
    const int values = 1 + round % 5;  // 1: every cost equal
    std::uniform_int_distribution<int> pick(-values, values);
    std::vector<double> cost(m * m);
    for (double& c : cost) c = pick(rng) * 0.25;
    solver.solve(cost, m);
    std::vector<bool> used(m, false);
    double sum = 0.0;
    for (std::size_t r = 0; r < m; ++r) {
      const std::uint32_t c = solver.column_of(r);
      ASSERT_LT(c, m);
      ASSERT_FALSE(used[c]) << "column assigned twice";
      used[c] = true;
      sum += cost[r * m + c];
    }
    EXPECT_EQ(sum, least_by_enumeration(cost, m)) << "round " << round;
  }
}

}  // namespace
}  // namespace cladomatic
