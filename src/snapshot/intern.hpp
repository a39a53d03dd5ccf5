// Split interning: every distinct split of the tree set gets a dense 32-bit
// id.  Work is sharded by the low key byte so that all 256 shards of a chunk
// are interned in parallel without locks; ids depend only on the input trees
// and their order, never on thread count or chunking.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "build.hpp"
#include "clade_sources.hpp"
#include "clades.hpp"
#include "fingerprint.hpp"
#include "result.hpp"

namespace cladomatic {

using SplitId = std::uint32_t;

// One tree as split ids.  The tree also holds the pendant ids 0..n_pendant-1
// without listing them.  `lengths` (only when weighted) holds n_pendant pendant
// lengths by leaf index, then one length per entry of `ids`.
struct InternSnap {
  std::vector<SplitId> ids;
  std::vector<double> lengths;
  std::uint32_t n_pendant = 0;
};

// The interned tree set.
struct Snapshots {
  std::vector<InternSnap> snaps;        // one per tree, input order
  CladeTable clades;                    // row r = canonical side of split r (keep_clades), else no rows
  CladeSources clade_sources;           // the rows not laid out yet (rows_on_demand): see `with_clades`
  std::vector<std::uint32_t> freq;      // trees containing each split id
  std::vector<std::string> leaf_names;  // sorted byte-wise; leaf index i is leaf_names[i]
  std::size_t row_words = 0;
  // Empty when every tree holds every leaf.  Otherwise row_words words per
  // tree, bit l of word l / 64 set when the tree holds leaf l (padding bits
  // clear); a tree then has pendant lengths (0.0) for leaves it lacks, and a
  // split row is the side of the split without the first taxon of the trees
  // holding it, in the order they were read (see `sort_taxa`).
  std::vector<std::uint64_t> taxa;
};

struct InternerOptions {
  std::uint32_t n_leaves = 0;
  std::size_t row_words = 0;
  bool rooted = false;
  bool weighted = false;
  bool keep_clades = false;
  // Clade rows are only located, and laid out by `with_clades` (keep_clades
  // only, not with any_taxa).
  bool rows_on_demand = false;
  // Trees may hold different taxa, and the leaves grow chunk by chunk
  // (`grow_leaves`): a part's range is then its split's canonical side, as
  // `snapshot_over` makes it, and clade rows are kept.
  bool any_taxa = false;
  // Draws the leaves' check values, which tell apart different leaf sets
  // under one key.
  std::uint64_t check_seed = process_secrets().check_seed;
  // Ids a shard may hold (local id x 256 + shard must fit 32 bits, so at most
  // 2^24), ids the whole set may hold, pendant ids included, and leaf entries
  // of all clade rows (32-bit offsets).  Lowered only by tests.
  std::uint32_t shard_limit = 1u << 24;
  std::uint64_t total_limit = 0xFFFFFFFFull;
  std::uint64_t clade_entry_limit = 0xFFFFFFFFull;
};

// Lays out the clade rows of a set built with rows_on_demand, once; an error
// when they would take more than 32-bit offsets address.
std::optional<Error> with_clades(Snapshots& set);

class Interner {
 public:
  explicit Interner(const InternerOptions& options);
  Interner(Interner&&) noexcept;
  Interner& operator=(Interner&&) noexcept;
  ~Interner();

  // Interns one chunk of trees in input order; the snapshots are released.
  // After an error the interner must not be used again.
  std::optional<Error> push_chunk(std::vector<Snapshot>&& chunk);

  // Raises the leaf count to `n_leaves` before a chunk that holds new taxa
  // (any_taxa only).  Trees interned before keep their shorter pendant
  // lengths: `sort_taxa` widens them.
  void grow_leaves(std::uint32_t n_leaves);

  // Global ids, tree counts and the clade table.
  Snapshots finish(std::vector<std::string>&& leaf_names) &&;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cladomatic
