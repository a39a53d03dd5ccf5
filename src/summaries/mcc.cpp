#include "mcc.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../snapshot/result.hpp"

namespace cladomatic {

std::uint32_t mcc_tree(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq) {
  if (snaps.empty()) throw InvariantFailure("no trees");
  const double trees = static_cast<double>(snaps.size());
  std::vector<double> score(snaps.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      std::vector<std::uint32_t> counts;
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        counts.clear();
                        for (SplitId s : snaps[t].ids) {
                          if (s >= freq.size()) throw InvariantFailure("split id without a tree count");
                          counts.push_back(freq[s]);
                        }
                        std::sort(counts.begin(), counts.end());
                        double sum = 0.0;
                        for (std::uint32_t c : counts) sum += std::log(static_cast<double>(c) / trees);
                        score[t] = sum;
                      }
                    });
  std::size_t best = 0;
  for (std::size_t t = 1; t < score.size(); ++t)
    if (score[t] > score[best]) best = t;
  return static_cast<std::uint32_t>(best);
}

}  // namespace cladomatic
