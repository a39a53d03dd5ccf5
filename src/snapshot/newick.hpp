// Newick reading: labels and numbers cut out of the text, and the one-pass
// walker that turns a tree into its splits without building a tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build.hpp"
#include "fingerprint.hpp"
#include "result.hpp"
#include "translate_map.hpp"

namespace cladomatic {

// A label or branch-length text.  The common case is a view into the input;
// only a token with whitespace or quotes inside is copied and cleaned.
struct Token {
  std::string_view view;
  std::string cleaned;
  bool is_cleaned = false;
  std::size_t stop = 0;  // position of the delimiter that ended it, or the input length

  std::string_view text() const noexcept { return is_cleaned ? std::string_view(cleaned) : view; }
};

// `start` must be at most text.size() and on a character boundary.
Token token(std::string_view text, std::size_t start);

// Read-only per-call parsing context, shared by all workers.
struct SnapshotContext {
  std::vector<Key> labels;    // by leaf index
  Key total_key = 0;          // XOR of all labels: the key of the full leaf set
  std::vector<Check> checks;  // by leaf index
  LeafIndexMap leaf_index;
  bool rooted = false;
};

// The context of a call whose sorted leaf-name list is `leaf_list` (which
// must outlive it: the leaf index views it).
SnapshotContext make_snapshot_context(std::span<const std::string> leaf_list, bool rooted,
                                      const Secrets& secrets = process_secrets());

// One tree to its splits, checked against tree 0's leaf set.  Pure: many
// calls run at once on worker threads.
Result<Snapshot> snapshot(std::string_view text, const TranslateMap& map, std::uint64_t tree_index,
                          const SnapshotContext& context);

// Tree 0's leaf names in text order, translated; syntax errors as `snapshot`
// reports them for tree 0.
Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& map);

// Sorts byte-wise and rejects repeated names: the call's leaf-name list.
Result<std::vector<std::string>> sorted_leaf_name_list(std::vector<std::string>&& names);

// The text between double quotes with C-style escapes, for messages.
std::string quoted(std::string_view text);

// Whole-token number grammar for branch lengths: [+-] then inf/infinity/nan in
// any case, or digits with at most one point and at least one digit, then an
// optional exponent.  Correctly rounded into `value`; overflow gives inf,
// underflow 0.  False when `text` breaks the grammar (a flag, not an optional,
// for the reason parse_unsigned_decimal gives).
bool parse_branch_length(std::string_view text, double& value) noexcept;

}  // namespace cladomatic
