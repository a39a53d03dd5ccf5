// Fuzz body for the Newick readers.  The input is tree 0; whatever follows its
// first ';' is read as a second tree against tree 0's leaf set.  Every outcome
// must be a snapshot that keeps its invariants or a message; anything else
// aborts.  The same bytes are then read as a tree file, in one piece and a
// byte at a time, which must give the same trees.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reading/tree_records.hpp"
#include "snapshot/branch_length.hpp"
#include "snapshot/fingerprint.hpp"
#include "snapshot/newick.hpp"
#include "snapshot/quoted.hpp"
#include "snapshot/timed_tree.hpp"

namespace cladomatic {
namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void check_invariants(const Snapshot& snap, const SnapshotContext& context) {
  const std::size_t n = context.labels.size();
  require(snap.order.size() == n);
  require(snap.row_words == (n + 63) / 64);
  std::vector<LeafId> order = snap.order;
  std::sort(order.begin(), order.end());
  for (std::size_t i = 0; i < n; ++i) require(order[i] == i);
  std::vector<Key> keys;
  for (const Part& p : snap.parts) {
    require(p.count >= 1 && p.count <= n && std::size_t{p.start} + p.count <= n);
    Key side = 0;
    for (std::uint32_t i = p.start; i < p.start + p.count; ++i) side ^= context.labels[snap.order[i]];
    if (context.rooted) {
      require(p.key == side);
    } else if (p.count == 1) {
      require(p.key == side);
    } else {
      require(p.count + 2 <= n);
      require(p.key == canonical_key(side, context.total_key));
    }
    keys.push_back(p.key);
  }
  std::sort(keys.begin(), keys.end());
  require(std::adjacent_find(keys.begin(), keys.end()) == keys.end());
}

void check_message(const std::string& message) {
  require(!message.empty());
  require(message.starts_with("Failed to parse newick at index ") || message.starts_with("Tree "));
}

// A tree the plain reader takes has a shape: every leaf once, each node's
// parent after it, one root, the last.  Reading its node comments too either
// gives the same shape or names a malformed comment.
void check_timed(std::string_view text, const SnapshotContext& context) {
  Result<TimedTree> plain = timed_tree(text, {}, 0, context, false);
  require(plain.ok());
  const std::vector<TimedNode>& nodes = plain.value().nodes;
  require(!nodes.empty() && nodes.back().parent == -1);
  std::vector<unsigned char> seen(context.labels.size(), 0);
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    require(k + 1 == nodes.size() || (nodes[k].parent > static_cast<std::int32_t>(k) &&
                                      static_cast<std::size_t>(nodes[k].parent) < nodes.size()));
    if (nodes[k].leaf < 0) continue;
    require(static_cast<std::size_t>(nodes[k].leaf) < seen.size() &&
            !seen[static_cast<std::size_t>(nodes[k].leaf)]);
    seen[static_cast<std::size_t>(nodes[k].leaf)] = 1;
  }
  require(std::all_of(seen.begin(), seen.end(), [](unsigned char s) { return s != 0; }));
  Result<TimedTree> annotated = timed_tree(text, {}, 0, context, true);
  if (annotated.ok()) {
    require(annotated.value().nodes.size() == nodes.size());
  } else {
    require(annotated.error().starts_with("malformed node comment "));
  }
}

void read(std::string_view text) {
  Result<std::vector<std::string>> names = leaf_names(text, {});
  if (!names.ok()) {
    check_message(names.error());
    return;
  }
  Result<std::vector<std::string>> list = sorted_leaf_name_list(std::move(names).value());
  if (!list.ok()) return;
  for (bool rooted : {false, true}) {
    SnapshotContext context = make_snapshot_context(list.value(), rooted);
    // Tree 0 passed the name checks, so it must read as a snapshot.
    Result<Snapshot> tree0 = snapshot(text, {}, 0, context);
    require(tree0.ok());
    check_invariants(tree0.value(), context);
    if (rooted) check_timed(text, context);
    std::size_t end = text.find(';');
    Result<Snapshot> tree1 = snapshot(text.substr(end + 1), {}, 1, context);
    if (tree1.ok()) {
      check_invariants(tree1.value(), context);
    } else {
      check_message(tree1.error());
    }
  }
}

// glibc's strtod rounds correctly: every decimal the grammar accepts must
// give the same double.
void check_number(std::string_view text) {
  double value;
  if (!parse_branch_length(text, value) || text.find_first_of("iInN") != std::string_view::npos) return;
  std::string terminated(text);
  double expected = std::strtod(terminated.c_str(), nullptr);
  require(std::memcmp(&value, &expected, sizeof expected) == 0);
}

class BytesSource final : public ByteSource {
 public:
  BytesSource(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  Result<std::size_t> read(std::span<char> into) override {
    const std::size_t count = std::min(std::min(into.size(), piece_), bytes_.size());
    std::memcpy(into.data(), bytes_.data(), count);
    bytes_.remove_prefix(count);
    return count;
  }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

// Every tree as text, name and place, then "error" when reading ended on one.
std::vector<std::string> file_trees(std::string_view bytes, std::size_t piece) {
  TreeReader reader(
      [=]() -> Result<std::unique_ptr<ByteSource>> {
        return std::unique_ptr<ByteSource>(std::make_unique<BytesSource>(bytes, piece));
      },
      "f", ReaderOptions{piece, std::size_t{1} << 20});
  std::vector<std::string> trees;
  while (std::optional<TreeRecord> tree = reader.next()) {
    trees.push_back(tree->text + '\0' + tree->name.value_or("") + '\0' + std::to_string(tree->line) + ':' +
                    std::to_string(tree->block) + ':' + std::to_string(tree->position));
  }
  if (reader.error()) {
    const std::string& message = reader.error()->message;
    require(message.starts_with("f:") || message.starts_with("f "));
    trees.push_back("error");
  }
  return trees;
}

// Text that is not UTF-8 is refused when the chunk holding it arrives, so
// smaller chunks may hand on more trees before the same refusal.
void read_as_file(std::string_view bytes) {
  std::vector<std::string> whole = file_trees(bytes, std::size_t{1} << 16);
  std::vector<std::string> bytewise = file_trees(bytes, 1);
  if (whole.empty() || whole.back() != "error") {
    require(whole == bytewise);
    return;
  }
  require(!bytewise.empty() && bytewise.back() == "error" && bytewise.size() >= whole.size());
  require(std::equal(whole.begin(), whole.end() - 1, bytewise.begin()));
}

}  // namespace
}  // namespace cladomatic

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  cladomatic::read(text);
  cladomatic::check_number(text);
  cladomatic::quoted(text);
  cladomatic::read_as_file(text);
  return 0;
}
