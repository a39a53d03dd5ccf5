#include "snapshots.hpp"

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <unordered_map>
#include <utility>

#include "fingerprint.hpp"
#include "taxa.hpp"

namespace cladomatic {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 24;
constexpr std::size_t kMaxChunkTrees = 4096;

const TranslateMap& map_of(const SourceTree& tree) {
  static const TranslateMap empty;
  return tree.map != nullptr ? *tree.map : empty;
}

// parse(p) for every tree p of a chunk of `count`, in parallel.  A failing
// tree stops every tree after it, but trees before it still run, so the
// reported failure is the first in input order whatever the thread count.
template <class T, class Parse>
Result<std::vector<T>> each_tree(std::size_t count, const Parse& parse) {
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::vector<T> parsed(count);
  std::vector<std::optional<Error>> errors(count);
  std::atomic<std::size_t> first_failure{kNone};
  // One tree per task: tree sizes vary, and a tree is far more work than a task.
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, count, 1), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t p = r.begin(); p != r.end(); ++p) {
          if (p > first_failure.load(std::memory_order_relaxed)) return;
          Result<T> result = parse(p);
          if (result) {
            parsed[p] = std::move(result).value();
            continue;
          }
          errors[p] = std::move(result).take_error();
          std::size_t seen = first_failure.load(std::memory_order_relaxed);
          while (p < seen && !first_failure.compare_exchange_weak(seen, p, std::memory_order_relaxed)) {
          }
        }
      });
  std::size_t failed = first_failure.load(std::memory_order_relaxed);
  if (failed != kNone) return std::move(*errors[failed]);
  return parsed;
}

// Each translate map's numbered labels, resolved once per call: the
// pipeline's trees share a handful of maps.
class NumberedMaps {
 public:
  explicit NumberedMaps(const SnapshotContext& context) : context_(context) {}

  // Resolves the maps of the chunk's trees not seen before (on this thread).
  void add(const std::vector<SourceTree>& chunk) {
    for (const SourceTree& tree : chunk) {
      if (tree.map == nullptr || tree.map->empty() || tree.map == last_) continue;
      last_ = tree.map;
      if (!maps_.contains(tree.map)) maps_.emplace(tree.map, numbered_labels(*tree.map, context_));
    }
  }
  const NumberedLabels* find(const TranslateMap* map) const {
    auto found = map == nullptr ? maps_.end() : maps_.find(map);
    return found == maps_.end() ? nullptr : &found->second;
  }

 private:
  const SnapshotContext& context_;
  std::unordered_map<const TranslateMap*, NumberedLabels> maps_;
  const TranslateMap* last_ = nullptr;
};

Result<std::vector<Snapshot>> parse_chunk(const std::vector<SourceTree>& chunk, std::uint64_t first_index,
                                          const SnapshotContext& context, NumberedMaps& numbered) {
  numbered.add(chunk);
  return each_tree<Snapshot>(chunk.size(), [&](std::size_t p) {
    return snapshot(chunk[p].text, map_of(chunk[p]), first_index + p, context, numbered.find(chunk[p].map));
  });
}

// Up to `chunk_size` trees; `ended` once the source has run dry.
std::vector<SourceTree> pull_chunk(TreeSource& source, std::size_t chunk_size, bool& ended) {
  std::vector<SourceTree> chunk;
  chunk.reserve(chunk_size);
  while (!ended && chunk.size() < chunk_size) {
    std::optional<SourceTree> tree = source.next();
    if (!tree) {
      ended = true;
      break;
    }
    chunk.push_back(std::move(*tree));
  }
  return chunk;
}

// Pulls, parses and interns the rest of the source chunk by chunk; only this
// thread pulls, and never while a chunk is being parsed.
std::optional<Error> from_chunks(TreeSource& source, const SnapshotContext& context, std::size_t chunk_size,
                                 Interner& interner) {
  std::uint64_t next_index = 1;
  bool ended = false;
  NumberedMaps numbered(context);
  while (!ended) {
    std::vector<SourceTree> chunk = pull_chunk(source, chunk_size, ended);
    if (chunk.empty()) break;
    Result<std::vector<Snapshot>> parsed = parse_chunk(chunk, next_index, context, numbered);
    if (!parsed) {
      Error error = std::move(parsed).take_error();
      if (error.tree_index)
        source.rejected(*error.tree_index, std::move(chunk[*error.tree_index - next_index]));
      return error;
    }
    next_index += chunk.size();
    chunk = {};
    if (std::optional<Error> error = interner.push_chunk(std::move(parsed).value())) return error;
  }
  return std::nullopt;
}

// The pipeline of a set whose trees may hold different taxa: per chunk, the
// trees' names first (in parallel), then new names become leaves in input
// order, then the splits of every tree over its own taxa.  Tree 0 is a chunk
// of its own, which sizes the others.
Result<Snapshots> from_chunks_any_taxa(TreeSource& source, const PipelineOptions& options) {
  TaxonIndex taxa;
  CladeTable tree_taxa;
  const std::uint64_t check_seed = process_secrets().check_seed;
  Interner interner(InternerOptions{.n_leaves = 0,
                                    .row_words = 0,
                                    .rooted = options.rooted,
                                    .weighted = options.weighted,
                                    .keep_clades = true,
                                    .any_taxa = true,
                                    .check_seed = check_seed});
  std::size_t chunk_size = 1;
  std::uint64_t next_index = 0;
  bool ended = false;
  while (!ended) {
    std::vector<SourceTree> chunk = pull_chunk(source, chunk_size, ended);
    if (chunk.empty()) break;
    Result<std::vector<std::vector<std::string>>> names = each_tree<std::vector<std::string>>(
        chunk.size(),
        [&](std::size_t p) { return distinct_leaf_names(chunk[p].text, map_of(chunk[p]), next_index + p); });
    if (!names) return std::move(names).take_error();
    std::vector<std::vector<LeafId>> leaves(chunk.size());
    for (std::size_t p = 0; p < chunk.size(); ++p) {
      leaves[p] = taxa.add(names.value()[p]);
      tree_taxa.push(leaves[p]);
    }
    if (next_index == 0 && options.chunk_size == 0) {
      chunk_size = chunk_size_for(tbb::info::default_concurrency(), chunk[0].text.size(),
                                  2 * leaves[0].size(), leaves[0].size());
    } else if (next_index == 0) {
      chunk_size = options.chunk_size;
    }
    const auto n_leaves = static_cast<std::uint32_t>(taxa.names().size());
    interner.grow_leaves(n_leaves);
    const std::vector<Key> labels = taxon_labels(n_leaves);
    const std::vector<Check> checks = leaf_checks(n_leaves, check_seed);
    Result<std::vector<Snapshot>> parsed = each_tree<Snapshot>(chunk.size(), [&](std::size_t p) {
      return snapshot_over(chunk[p].text, leaves[p], labels, checks, next_index + p, options.rooted);
    });
    if (!parsed) return std::move(parsed).take_error();
    next_index += chunk.size();
    chunk = {};
    if (std::optional<Error> error = interner.push_chunk(std::move(parsed).value())) return std::move(*error);
  }
  if (next_index == 0) return Snapshots{};
  return sort_taxa(std::move(interner).finish(std::move(taxa).take_names()), tree_taxa, options.rooted);
}

}  // namespace

std::size_t chunk_size_for(std::size_t threads, std::size_t text_bytes, std::size_t parts,
                           std::size_t leaves) {
  threads = std::max<std::size_t>(threads, 1);
  // Saturating: a tree too large to estimate is simply one tree per thread.
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(parts, 32, &parts) || __builtin_mul_overflow(leaves, 4, &leaves) ||
      __builtin_add_overflow(text_bytes, parts, &bytes) || __builtin_add_overflow(bytes, leaves, &bytes)) {
    return threads;
  }
  bytes = std::max<std::size_t>(bytes, 1);
  std::size_t per_thread = 1;
  if (bytes <= kChunkBytes / threads) {
    per_thread =
        std::min(kChunkBytes / (threads * bytes), std::max<std::size_t>(kMaxChunkTrees / threads, 1));
  }
  return per_thread * threads;
}

Result<Snapshots> from_newick_iter_opts(TreeSource& source, const PipelineOptions& options) {
  if (options.any_taxa) return from_chunks_any_taxa(source, options);
  std::optional<SourceTree> first = source.next();
  if (!first) return Snapshots{};

  const auto rejected = [&](Error error) {
    source.rejected(0, std::move(*first));
    return error;
  };
  Result<std::vector<std::string>> names = leaf_names(first->text, map_of(*first));
  if (!names) return rejected(std::move(names).take_error());
  Result<std::vector<std::string>> sorted = sorted_leaf_name_list(std::move(names).value());
  if (!sorted) return rejected(std::move(sorted).take_error());
  // The leaf index holds views into this list: it must stay put (moving the
  // vector keeps its strings where they are).
  std::vector<std::string> leaf_list = std::move(sorted).value();
  auto n_leaves = static_cast<std::uint32_t>(leaf_list.size());

  const SnapshotContext context = make_snapshot_context(leaf_list, options.rooted);

  Result<Snapshot> tree0 = snapshot(first->text, map_of(*first), 0, context);
  if (!tree0) return rejected(std::move(tree0).take_error());
  Snapshot snap0 = std::move(tree0).value();
  std::size_t chunk_size = options.chunk_size != 0
                               ? options.chunk_size
                               : chunk_size_for(tbb::info::default_concurrency(), first->text.size(),
                                                snap0.parts.size(), snap0.order.size());
  first.reset();

  Interner interner(InternerOptions{.n_leaves = n_leaves,
                                    .row_words = snap0.row_words,
                                    .rooted = options.rooted,
                                    .weighted = options.weighted,
                                    .keep_clades = options.keep_clades,
                                    .rows_on_demand = options.rows_on_demand});
  std::vector<Snapshot> chunk0;
  chunk0.push_back(std::move(snap0));
  if (std::optional<Error> error = interner.push_chunk(std::move(chunk0))) return std::move(*error);
  if (std::optional<Error> error = from_chunks(source, context, chunk_size, interner))
    return std::move(*error);
  return std::move(interner).finish(std::move(leaf_list));
}

}  // namespace cladomatic
