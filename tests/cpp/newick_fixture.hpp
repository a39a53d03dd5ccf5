// Builds the per-call parsing context from tree 0 the way a call does:
// names, sorted list, labels, leaf index.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "snapshot/fingerprint.hpp"
#include "snapshot/newick.hpp"

namespace cladomatic::testing {

struct Call {
  std::vector<std::string> names;  // must outlive `context`, whose index views it
  SnapshotContext context;
};

inline std::unique_ptr<Call> call_for(std::vector<std::string> names, bool rooted) {
  auto call = std::make_unique<Call>();
  call->names = std::move(names);
  call->context = snapshot_context(call->names, rooted);
  return call;
}

inline std::unique_ptr<Call> call_from_tree0(std::string_view tree0, bool rooted) {
  auto names = leaf_names(tree0, {});
  EXPECT_TRUE(names.ok()) << names.error();
  auto sorted = sorted_leaf_name_list(std::move(names).value());
  EXPECT_TRUE(sorted.ok()) << sorted.error();
  return call_for(std::move(sorted).value(), rooted);
}

inline Snapshot parse_ok(std::string_view text, const Call& call) {
  Result<Snapshot> result = snapshot(text, {}, 1, call.context);
  EXPECT_TRUE(result.ok()) << text << " -> " << result.error();
  return result.ok() ? std::move(result).value() : Snapshot{};
}

inline std::string parse_error(std::string_view text, const Call& call, std::uint64_t tree_index = 1) {
  Result<Snapshot> result = snapshot(text, {}, tree_index, call.context);
  EXPECT_FALSE(result.ok()) << text << " parsed";
  return result.ok() ? std::string() : result.error();
}

}  // namespace cladomatic::testing
