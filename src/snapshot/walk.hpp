// The one-pass Newick walker shared by `snapshot` and `leaf_names`.  It never
// builds a tree: a subtree is its key (XOR of its leaves' labels) and the range
// its leaves occupy in `order`, and a finished child is folded into its parent
// with one XOR.  Nesting lives on an explicit stack, so depth costs memory,
// never call-stack frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "branch_length.hpp"
#include "build.hpp"
#include "newick.hpp"
#include "quoted.hpp"
#include "result.hpp"
#include "syntax.hpp"
#include "token.hpp"

// Internal to the Newick readers: a namespace of its own keeps these short
// names out of the way of the rest of the library.
namespace cladomatic::newick_walk {

// What a leaf step gives back for a new leaf.
struct Leaf {
  LeafId index;
  Key key;
};

struct Walked {
  std::vector<Part> parts;
  std::vector<LeafId> order;
};

inline Error syntax_error(std::uint64_t tree_index, std::string_view message) {
  return Error{"Failed to parse newick at index " + std::to_string(tree_index) + ": " + std::string(message),
               tree_index};
}

inline Error unnamed_leaf(std::uint64_t tree_index) {
  return Error{"Tree " + std::to_string(tree_index) + " has an unnamed leaf. All leaves must be named.",
               tree_index};
}

struct Open {
  Key key;
  std::uint32_t start;
  std::uint32_t children;
};

struct Item {
  Key key = 0;
  std::uint32_t start = 0;
  std::uint32_t count = 0;
  double length = 0.0;
};

// A leaf step may also want every node as it closes: `WithNodes` joins one
// to a node hook.  The hook gets `comment` for each comment met while a node
// is the pending one (its text between the brackets, and whether it lies
// between the node's ':' and its length, as BEAST 1 writes them, rather than
// after its label, as BEAST 2 does, or after its length, as MrBayes does),
// then `close` once the node is finished, with its item and the leaf order
// so far; `close` returning an error ends the walk with it.  The plain
// readers pass bare leaf steps, for which none of this is compiled: their
// walk is the same code it was before hooks.
template <class Step, class Nodes>
struct WithNodes {
  static constexpr bool reports_nodes = true;
  Step step;
  Nodes& nodes;

  auto operator()(std::string_view label) { return step(label); }
};

template <class LeafStep>
inline constexpr bool reports_nodes = requires { requires std::decay_t<LeafStep>::reports_nodes; };

struct RootSlot {
  bool appended = false;
  std::size_t index = 0;
};

// Skips whitespace and whole comments from `pos`; nullopt when a '[' is never
// closed.  Comments do not nest.
inline std::optional<std::size_t> skip_blanks(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '[') {
      const void* close = std::memchr(text.data() + pos + 1, ']', text.size() - pos - 1);
      if (!close) return std::nullopt;
      pos = static_cast<std::size_t>(static_cast<const char*>(close) - text.data()) + 1;
    } else if (byte_class(c) == ByteClass::space) {
      ++pos;
    } else {
      break;
    }
  }
  return pos;
}

// Hands each comment of `blanks` (whitespace and whole comments, as
// skip_blanks passed over them) to the node hook, without its brackets;
// `colon` when they lie between the node's ':' and its length.
template <class Nodes>
void report_comments(std::string_view blanks, Nodes& nodes, bool colon) {
  std::size_t pos = 0;
  while ((pos = blanks.find('[', pos)) != std::string_view::npos) {
    const std::size_t close = blanks.find(']', pos + 1);
    nodes.comment(blanks.substr(pos + 1, close - pos - 1), colon);
    pos = close + 1;
  }
}

// Sorted (or completion-ordered) parts: each run of one split becomes its
// first part with the run's lengths summed first to last.
template <class Same>
void merge_same_splits(std::vector<Part>& parts, Same&& same) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (kept > 0 && same(parts[kept - 1], parts[i])) {
      parts[kept - 1].length += parts[i].length;
    } else {
      parts[kept++] = parts[i];
    }
  }
  parts.resize(kept);
}

// Everything one walk keeps besides the stack and the pending item.
struct WalkState {
  Walked out;
  std::uint32_t n = 0;
  Key total_key = 0;
  std::span<const Check> leaf_checks;  // by leaf index
  bool rooted = false;
  bool unary = false;  // some subtree closed with a single child
  std::uint32_t root_degree = 0;
  RootSlot root_slots[2];
  // Lengths of the edges above subtrees of n - 1 leaves.  Such an edge is the
  // pendant edge of the one leaf outside, so its length belongs to that leaf.
  bool dropped = false;
  Key dropped_key = 0;
  double dropped_length = 0.0;
};

// Hands a finished item to its parent `top`: folds its key in and decides
// whether its edge is a split of its own.
inline void hand_to_parent(WalkState& state, const Item& item, Open& top, bool top_is_root) {
  top.key ^= item.key;
  ++top.children;
  std::vector<Part>& parts = state.out.parts;
  const std::uint32_t n = state.n;
  bool appended = false;
  if (state.rooted || item.count == 1) {
    parts.push_back(Part{item.key, item.length, item.start, item.count});
    appended = true;
  } else if (item.count >= (n == 0 ? 0 : n - 1)) {
    if (n >= 3 && item.count == n - 1) {
      state.dropped = true;
      state.dropped_key = item.key ^ state.total_key;
      state.dropped_length += item.length;
    }
  } else {
    parts.push_back(Part{canonical_key(item.key, state.total_key), item.length, item.start, item.count});
    appended = true;
  }
  if (top_is_root && top.children <= 2)
    state.root_slots[top.children - 1] = RootSlot{appended, parts.size() - 1};
}

inline Walked finish(WalkState&& state) {
  std::vector<Part>& parts = state.out.parts;
  const RootSlot* slots = state.root_slots;
  if (state.unary && state.n != 0) {
    // Edges of a single-child chain share a key and are one split; a part
    // with the same key but another leaf set is a crafted collision, kept
    // apart (by its check) for the interner to report.
    std::vector<Check> prefix;
    check_prefix(state.out.order, state.leaf_checks, prefix);
    auto check = [&](const Part& p) { return split_check(prefix, p, state.rooted); };
    if (state.rooted) {
      std::erase_if(parts, [n = state.n](const Part& p) { return p.count == n; });
    } else {
      // Stable, so a chain's lengths are summed in text order.
      std::stable_sort(parts.begin(), parts.end(), [&](const Part& a, const Part& b) {
        return a.key < b.key || (a.key == b.key && check(a) < check(b));
      });
    }
    merge_same_splits(parts,
                      [&](const Part& a, const Part& b) { return a.key == b.key && check(a) == check(b); });
  } else if (!state.rooted && state.root_degree == 2 && slots[0].appended && slots[1].appended &&
             parts[slots[0].index].key == parts[slots[1].index].key) {
    // The root split one edge in two halves (its two sides partition the
    // leaves, so equal keys here are one split).
    parts[slots[0].index].length += parts[slots[1].index].length;
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(slots[1].index));
  }
  // A short leaf set is rejected by the caller; only a full one has the leaf.
  if (state.dropped && state.out.order.size() == state.n) {
    auto pendant = std::find_if(parts.begin(), parts.end(),
                                [&](const Part& p) { return p.count == 1 && p.key == state.dropped_key; });
    if (pendant == parts.end())
      throw InvariantFailure("no pendant edge for the leaf outside a subtree of n - 1 leaves");
    pendant->length += state.dropped_length;
  }
  return std::move(state.out);
}

// `leaf_step(std::string_view text) -> Result<Leaf>` names a new leaf from its
// cleaned label.  `n` is tree 0's leaf count (0 when not known yet: then only
// pendant parts are made and no split is merged); `leaf_checks` holds n check
// values.  Returns the parts after the single-child and root
// edge merges, and the leaf order; the caller checks the leaf count.
template <class LeafStep>
Result<Walked> walk(std::string_view text, std::uint64_t tree_index, std::uint32_t n, Key total_key,
                    std::span<const Check> leaf_checks, bool rooted, LeafStep&& leaf_step) {
  WalkState state;
  state.n = n;
  state.total_key = total_key;
  state.leaf_checks = leaf_checks;
  state.rooted = rooted;
  std::vector<LeafId>& order = state.out.order;
  order.reserve(n);
  state.out.parts.reserve(std::size_t{2} * n);
  std::vector<Open> stack;
  Item item;
  bool pending = false;

  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    const char c = text[pos];
    switch (c) {
      case '(':
        if (pending) return syntax_error(tree_index, "'(' after a finished subtree");
        stack.push_back(Open{0, static_cast<std::uint32_t>(order.size()), 0});
        ++pos;
        break;
      case ',':
      case ')': {
        if (stack.empty()) return syntax_error(tree_index, std::string("'") + c + "' outside any subtree");
        if (!pending) return unnamed_leaf(tree_index);
        if constexpr (reports_nodes<LeafStep>) {
          if (std::optional<Error> failed = leaf_step.nodes.close(item, order)) return std::move(*failed);
        }
        hand_to_parent(state, item, stack.back(), stack.size() == 1);
        if (c == ',') {
          pending = false;
        } else {
          const Open closed = stack.back();
          stack.pop_back();
          item = Item{closed.key, closed.start, static_cast<std::uint32_t>(order.size()) - closed.start, 0.0};
          if (closed.children == 1) state.unary = true;
          if (stack.empty()) state.root_degree = closed.children;
        }
        ++pos;
        break;
      }
      case ':': {
        if (!pending) return unnamed_leaf(tree_index);
        std::optional<std::size_t> at = skip_blanks(text, pos + 1);
        if (!at) return syntax_error(tree_index, "a '[' comment is never closed");
        if constexpr (reports_nodes<LeafStep>)
          report_comments(text.substr(pos + 1, *at - pos - 1), leaf_step.nodes, true);
        Token length = token(text, *at);
        std::string_view digits = length.text();
        if (!digits.empty()) {
          if (!parse_branch_length(digits, item.length)) {
            return syntax_error(tree_index,
                                "invalid branch length " + quoted(digits) + ": invalid float literal");
          }
        }
        pos = length.stop;
        break;
      }
      case ';':
        if (!stack.empty()) return syntax_error(tree_index, "a '(' is never closed");
        if (!pending) return syntax_error(tree_index, "the tree is empty");
        if constexpr (reports_nodes<LeafStep>) {
          if (std::optional<Error> failed = leaf_step.nodes.close(item, order)) return std::move(*failed);
        }
        return finish(std::move(state));
      case '[': {
        std::optional<std::size_t> at = skip_blanks(text, pos);
        if (!at) return syntax_error(tree_index, "a '[' comment is never closed");
        if constexpr (reports_nodes<LeafStep>) {
          if (pending) report_comments(text.substr(pos, *at - pos), leaf_step.nodes, false);
        }
        pos = *at;
        break;
      }
      case ']':
        ++pos;
        break;
      default: {
        if (byte_class(c) == ByteClass::space) {
          ++pos;
          break;
        }
        Token label = token(text, pos);
        pos = label.stop;
        if (pending) break;  // an internal-node label, or text after a label
        Result<Leaf> leaf = leaf_step(label.text());
        if (!leaf) return std::move(leaf).take_error();
        item = Item{leaf.value().key, static_cast<std::uint32_t>(order.size()), 1, 0.0};
        order.push_back(leaf.value().index);
        pending = true;
        break;
      }
    }
  }
  return syntax_error(tree_index, "the tree does not end in ';'");
}

}  // namespace cladomatic::newick_walk
