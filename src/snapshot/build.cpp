#include "build.hpp"

#include <algorithm>
#include <span>

namespace cladomatic {
namespace {

// Branch-free over the whole range so the compiler scans many entries per step.
bool holds_leaf_zero(std::span<const LeafId> range) noexcept {
  bool found = false;
  for (LeafId leaf : range) found |= leaf == 0;
  return found;
}

}  // namespace

void check_prefix(std::span<const LeafId> order, std::span<const Check> leaf_checks,
                  std::vector<Check>& prefix) {
  prefix.resize(order.size() + 1);
  Check sum = 0;
  prefix[0] = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    sum += leaf_checks[order[i]];
    if (sum >= kCheckPrime) sum -= kCheckPrime;
    prefix[i + 1] = sum;
  }
}

std::pair<std::span<const LeafId>, std::span<const LeafId>> canonical_side(const Snapshot& snapshot,
                                                                           const Part& part, bool rooted) {
  std::span<const LeafId> order(snapshot.order);
  std::span<const LeafId> range = order.subspan(part.start, part.count);
  if (part.count > 1 && !rooted && holds_leaf_zero(range))
    return {order.first(part.start), order.subspan(part.start + part.count)};
  return {range, {}};
}

bool push_canonical(const Snapshot& snapshot, const Part& part, bool rooted, CladeTable& table,
                    std::size_t max_entries) {
  const auto [first, second] = canonical_side(snapshot, part, rooted);
  if (first.size() + second.size() > max_entries - std::min(max_entries, table.leaves.size())) return false;
  table.push(first, second);
  return true;
}

}  // namespace cladomatic
