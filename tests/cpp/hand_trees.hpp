// Snapshot records built directly from leaf orders and subtree ranges, so the
// interner and the exports can be tested without the Newick reader, plus an
// oracle that derives what interning must produce from the leaf sets alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "snapshot/build.hpp"

namespace cladomatic::testing {

// Any fixed random labels serve: the interner never looks at how keys arose.
inline std::vector<Key> random_labels(std::uint32_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Key> labels(n);
  for (Key& label : labels) label = (Key{rng()} << 64) | rng();
  return labels;
}

struct Range {
  std::uint32_t start;
  std::uint32_t count;
  double length;
};

// One tree: its leaf order and the ranges of `order` below its edges, pendant
// ranges included.  Parts are emitted in range order with the keys a parser
// would give them; in unrooted mode sides of n - 1 or more leaves are dropped
// and the second side of a bipartition merges into the first.
inline Snapshot make_snapshot(const std::vector<LeafId>& order, const std::vector<Range>& ranges, bool rooted,
                              const std::vector<Key>& labels) {
  auto n = static_cast<std::uint32_t>(order.size());
  Key total = 0;
  for (Key label : labels) total ^= label;
  Snapshot snap;
  snap.order = order;
  snap.row_words = (n + 63) / 64;
  for (const Range& r : ranges) {
    if (!rooted && r.count >= n - 1 && r.count > 1) continue;
    Key key = 0;
    for (std::uint32_t i = r.start; i < r.start + r.count; ++i) key ^= labels[order[i]];
    if (!rooted && r.count > 1) key = canonical_key(key, total);
    auto same =
        std::find_if(snap.parts.begin(), snap.parts.end(), [key](const Part& p) { return p.key == key; });
    if (same != snap.parts.end()) {
      same->length += r.length;
    } else {
      snap.parts.push_back(Part{key, r.length, r.start, r.count});
    }
  }
  return snap;
}

// A random binary tree: a shuffled leaf order cut recursively into two
// non-empty ranges, every range with a distinct length.
inline Snapshot random_tree(std::uint32_t n, bool rooted, const std::vector<Key>& labels,
                            std::mt19937_64& rng) {
  std::vector<LeafId> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<Range> ranges;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> todo{{0, n}};
  while (!todo.empty()) {
    auto [start, count] = todo.back();
    todo.pop_back();
    if (count < n) ranges.push_back(Range{start, count, double(ranges.size()) + 0.25});
    if (count < 2) continue;
    auto left = static_cast<std::uint32_t>(1 + rng() % (count - 1));
    todo.push_back({start, left});
    todo.push_back({start + left, count - left});
  }
  return make_snapshot(order, ranges, rooted, labels);
}

// The side of a part that a clade row shows: the clade itself when rooted,
// else the side without leaf 0 (pendant rows never complemented).
inline std::vector<LeafId> canonical_side(const Snapshot& snap, const Part& part, bool rooted) {
  std::vector<LeafId> side(snap.order.begin() + part.start, snap.order.begin() + part.start + part.count);
  if (!rooted && part.count > 1 && std::find(side.begin(), side.end(), 0u) != side.end()) {
    std::set<LeafId> in(side.begin(), side.end());
    side.clear();
    for (LeafId leaf : snap.order) {
      if (!in.count(leaf)) side.push_back(leaf);
    }
  }
  std::sort(side.begin(), side.end());
  return side;
}

}  // namespace cladomatic::testing
