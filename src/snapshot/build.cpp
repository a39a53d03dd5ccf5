#include "build.hpp"

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

void push_canonical(const Snapshot& snapshot, const Part& part, bool rooted, CladeTable& table) {
  std::span<const LeafId> order(snapshot.order);
  std::span<const LeafId> range = order.subspan(part.start, part.count);
  if (part.count > 1 && !rooted && holds_leaf_zero(range)) {
    table.push(order.first(part.start), order.subspan(part.start + part.count));
  } else {
    table.push(range);
  }
}

}  // namespace cladomatic
