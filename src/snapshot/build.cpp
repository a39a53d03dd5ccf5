#include "build.hpp"

#include <algorithm>
#include <span>

namespace cladomatic {

void push_canonical(const Snapshot& snapshot, const Part& part, bool rooted, CladeTable& table) {
  std::span<const LeafId> order(snapshot.order);
  std::span<const LeafId> range = order.subspan(part.start, part.count);
  if (part.count > 1 && !rooted && std::find(range.begin(), range.end(), LeafId{0}) != range.end()) {
    table.push(order.first(part.start), order.subspan(part.start + part.count));
  } else {
    table.push(range);
  }
}

}  // namespace cladomatic
