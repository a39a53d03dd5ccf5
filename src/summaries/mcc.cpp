#include "mcc.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../snapshot/result.hpp"

namespace cladomatic {

std::uint32_t mcc_tree(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                       RowCounter* trees_done) {
  if (snaps.empty()) throw InvariantFailure("no trees");
  const double trees = static_cast<double>(snaps.size());
  // One logarithm per split, not per split of each tree: a tree's terms are
  // then summed in increasing order, which is the order of their counts, so
  // that trees of one topology score the same whatever their split order.
  std::vector<double> log_share(freq.size());
  for (std::size_t s = 0; s < freq.size(); ++s) log_share[s] = std::log(static_cast<double>(freq[s]) / trees);
  std::vector<double> score(snaps.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      std::vector<double> terms;
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        if (stop_requested()) return;
                        terms.clear();
                        for (SplitId s : snaps[t].ids) {
                          if (s >= freq.size()) throw InvariantFailure("split id without a tree count");
                          terms.push_back(log_share[s]);
                        }
                        std::sort(terms.begin(), terms.end());
                        double sum = 0.0;
                        for (double term : terms) sum += term;
                        score[t] = sum;
                        count_rows(trees_done, 1);
                      }
                    });
  std::size_t best = 0;
  for (std::size_t t = 1; t < score.size(); ++t)
    if (score[t] > score[best]) best = t;
  return static_cast<std::uint32_t>(best);
}

}  // namespace cladomatic
