// Seeded random trees, with multifurcations and single-child chains, checked
// against splits computed from the definitions on an explicit tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "newick_fixture.hpp"
#include "snapshot/build.hpp"

namespace cladomatic {
namespace {

struct Node {
  std::vector<std::size_t> children;
  int leaf = -1;     // leaf index, or -1
  int eighths = -1;  // length in eighths (sums stay exact); -1 writes none
};

struct Tree {
  std::vector<Node> nodes;
  std::size_t root = 0;
};

Tree random_tree(std::mt19937_64& rng, int n) {
  Tree t;
  std::vector<std::size_t> pool;
  std::uniform_int_distribution<int> length(-1, 16), coin(0, 9);
  auto add = [&](Node node) {
    node.eighths = length(rng);
    t.nodes.push_back(std::move(node));
    return t.nodes.size() - 1;
  };
  for (int i = 0; i < n; ++i) pool.push_back(add(Node{{}, i, 0}));
  while (pool.size() > 1) {
    std::shuffle(pool.begin(), pool.end(), rng);
    std::size_t k = std::min<std::size_t>(pool.size(), std::uniform_int_distribution<std::size_t>(2, 4)(rng));
    Node parent;
    parent.children.assign(pool.end() - k, pool.end());
    pool.resize(pool.size() - k);
    std::size_t at = add(std::move(parent));
    while (coin(rng) == 0) at = add(Node{{at}, -1, 0});  // single-child chains
    pool.push_back(at);
  }
  t.root = pool[0];
  return t;
}

std::string newick(const Tree& t, std::size_t v, const std::vector<std::string>& names) {
  const Node& node = t.nodes[v];
  std::string out;
  if (node.leaf >= 0) {
    out = names[node.leaf];
  } else {
    out = "(";
    for (std::size_t i = 0; i < node.children.size(); ++i)
      out += (i ? "," : "") + newick(t, node.children[i], names);
    out += ")";
  }
  if (node.eighths >= 0) out += ":" + std::to_string(node.eighths / 8.0);
  return out;
}

using LeafSet = std::vector<bool>;

LeafSet collect(const Tree& t, std::size_t v, int n, std::map<LeafSet, double>& edges, bool rooted) {
  const Node& node = t.nodes[v];
  LeafSet set(n, false);
  if (node.leaf >= 0) set[node.leaf] = true;
  for (std::size_t c : node.children) {
    LeafSet below = collect(t, c, n, edges, rooted);
    for (int i = 0; i < n; ++i) set[i] = set[i] || below[i];
  }
  if (v == t.root) return set;
  int size = static_cast<int>(std::count(set.begin(), set.end(), true));
  if (size == n) return set;  // a chain above the root: no edge
  LeafSet side = set;
  if (!rooted && side[0]) side.flip();
  edges[side] += std::max(node.eighths, 0) / 8.0;
  return set;
}

std::map<LeafSet, double> from_snapshot(const Snapshot& snap, const SnapshotContext& ctx, int n) {
  std::map<LeafSet, double> edges;
  for (const Part& p : snap.parts) {
    LeafSet side(n, false);
    Key key = 0;
    for (std::uint32_t i = p.start; i < p.start + p.count; ++i) {
      side[snap.order[i]] = true;
      key ^= ctx.labels[snap.order[i]];
    }
    if (ctx.rooted || p.count == 1) {
      EXPECT_EQ(p.key, key);
    } else {
      EXPECT_EQ(p.key, canonical_key(key, ctx.total_key));
      EXPECT_LE(p.count + 2, static_cast<std::uint32_t>(n));
    }
    if (!ctx.rooted && side[0]) side.flip();
    EXPECT_EQ(edges.count(side), 0u) << "two parts for one split";
    edges[side] = p.length;
  }
  return edges;
}

class RandomTrees : public ::testing::TestWithParam<bool> {};

TEST_P(RandomTrees, MatchSplitsFromTheDefinitions) {
  const bool rooted = GetParam();
  std::mt19937_64 rng(rooted ? 11 : 12);
  for (int round = 0; round < 400; ++round) {
    int n = std::uniform_int_distribution<int>(3, round < 300 ? 12 : 150)(rng);
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.push_back("t" + std::to_string(1000 + i));
    auto call = testing::call_for(names, rooted);
    Tree tree = random_tree(rng, n);
    std::string text = newick(tree, tree.root, names) + ";";
    Snapshot snap = testing::parse_ok(text, *call);
    std::vector<LeafId> order = snap.order;
    std::sort(order.begin(), order.end());
    for (int i = 0; i < n; ++i) ASSERT_EQ(order[i], static_cast<LeafId>(i)) << text;
    std::map<LeafSet, double> expected;
    collect(tree, tree.root, n, expected, rooted);
    EXPECT_EQ(from_snapshot(snap, call->context, n), expected) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomTrees, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Rooted" : "Unrooted"; });

}  // namespace
}  // namespace cladomatic
