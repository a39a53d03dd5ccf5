// The chunked pipeline that builds the interned tree set (Snapshots) from a
// lazy stream of Newick texts: tree 0 alone first (it fixes the leaf set), then
// chunks parsed in parallel and interned before the next chunk is pulled, so
// at most one chunk of texts is alive at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clades.hpp"
#include "intern.hpp"
#include "newick.hpp"
#include "result.hpp"

namespace cladomatic {

struct SourceTree {
  std::string text;
  const TranslateMap* map = nullptr;  // outlives the pipeline
};

// Pulled only from the thread running the pipeline.  Once it has returned
// nothing it is never pulled again.
class TreeSource {
 public:
  virtual ~TreeSource() = default;
  virtual std::optional<SourceTree> next() = 0;
  // The tree a parse error is about (`tree_index` as the error gives it),
  // handed back to a source that cannot read it again but must say what is
  // wrong with it.  The pipeline then stops.
  virtual void rejected(std::uint64_t /*tree_index*/, SourceTree&& /*tree*/) {}
};

struct PipelineOptions {
  bool rooted = false;
  bool weighted = false;        // keep branch lengths
  bool keep_clades = false;     // keep a clade row per split id, for the exports
  bool rows_on_demand = false;  // ... laid out by `with_clades` (not with any_taxa)
  // Trees may hold different taxa: the leaves are every taxon seen, each
  // tree is split over its own (`snapshot_over`) and the set keeps every
  // tree's taxa (see Snapshots::taxa); clade rows are kept.  Each tree's text
  // is walked twice, once for its names and once for its splits.
  bool any_taxa = false;
  std::size_t chunk_size = 0;  // trees per chunk; 0 derives it from tree 0 (others only in tests)
};

// Trees per chunk from tree 0's size: about 16 MiB of estimated tree data, at
// most 4096 trees, a multiple of the thread count.
std::size_t chunk_size_for(std::size_t threads, std::size_t text_bytes, std::size_t parts,
                           std::size_t leaves);

// Does not check the number of trees: an empty source gives an empty set.
Result<Snapshots> from_newick_iter_opts(TreeSource& source, const PipelineOptions& options);

}  // namespace cladomatic
