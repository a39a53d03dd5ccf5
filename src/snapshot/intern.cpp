#include "intern.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>
#include <ranges>
#include <span>
#include <string>
#include <utility>

namespace cladomatic {
namespace {

constexpr std::size_t kShards = 256;
constexpr char kTooManySplits[] = "Too many distinct splits for 32-bit split IDs.";
constexpr char kTooManyCladeEntries[] = "Too many distinct splits for 32-bit clade row offsets.";

Error key_collision(std::uint64_t first, std::uint64_t second) {
  std::string trees = first == second ? "Tree " + std::to_string(first) + " holds two different splits"
                                      : "Tree " + std::to_string(first) + " and tree " +
                                            std::to_string(second) + " hold different splits";
  return Error{trees + " with the same 128-bit key; the input looks crafted to make split keys collide."};
}

using LocalId = std::uint32_t;

inline std::size_t shard_of(Key key) noexcept {
  return static_cast<std::size_t>(key & 0xFF);
}

// One non-pendant part of a chunk, copied out of its tree so that a shard
// streams its own parts from one contiguous run instead of gathering them
// from every tree.  `pos` is the part's index among its tree's non-pendant
// parts, where its id goes in the tree's InternSnap.  Two entries to a
// cache line: while clade rows are kept, the part's index in `parts` waits
// in the id's own place until the id is known.
struct Entry {
  Key key;
  Check check;
  std::uint32_t tree;
  std::uint32_t pos;
};

// The chunk's entries grouped by shard; within a shard, trees in input order
// and each tree's parts in `parts` order.  Shard s owns
// entries[shard_start[s] .. shard_start[s + 1]].  Kept from chunk to chunk
// so that its memory is reused, not mapped afresh.
struct Buckets {
  std::vector<Entry> entries;
  std::array<std::size_t, kShards + 1> shard_start{};
};

// Open addressing with linear probing over 32-bit slots.  Local ids fit 24
// bits, so a slot also carries an occupied bit and 7 bits of hash: most
// non-matching candidates are rejected without touching the key array.
class SlotTable {
 public:
  static constexpr std::uint32_t kOccupied = 1u << 31;
  static constexpr std::uint32_t kIdMask = (1u << 24) - 1;

  // Returns the slot where `hash` either matches via `same(id)` or would be
  // inserted.  The table must have a free slot.
  template <class Same>
  std::uint32_t* find(std::uint64_t hash, Same&& same) {
    std::uint32_t tag = kOccupied | static_cast<std::uint32_t>(hash >> 57) << 24;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      std::uint32_t slot = slots_[i];
      if (slot == 0) return &slots_[i];
      if ((slot & ~kIdMask) == tag && same(slot & kIdMask)) return &slots_[i];
    }
  }

  static std::uint32_t entry(std::uint64_t hash, LocalId id) noexcept {
    return kOccupied | static_cast<std::uint32_t>(hash >> 57) << 24 | id;
  }

  // Keeps the load at most 3/4 after one more insertion; rehashes by the
  // stored hashes of the ids, which `hash_of` recomputes.
  template <class HashOf>
  void reserve_one(std::size_t size, HashOf&& hash_of) {
    if ((size + 1) * 4 <= slots_.size() * 3) return;
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(old.size() * 2, 64), 0);
    std::size_t mask = slots_.size() - 1;
    for (std::uint32_t slot : old) {
      if (slot == 0) continue;
      std::uint64_t hash = hash_of(slot & kIdMask);
      std::size_t i = hash & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

 private:
  std::vector<std::uint32_t> slots_;
};

// What a shard knows of one local id, in one record: a lookup that matches
// compares key and check and bumps the count on a single cache line.
struct Known {
  Key key;
  Check check;  // of the split that introduced the id
  std::uint32_t count;
};

// A split new in the chunk whose row is only located: the chunk's tree and
// its part.
struct NewRow {
  std::uint32_t tree;
  std::uint32_t part;
};

struct Shard {
  std::vector<Known> known;  // by local id
  CladeTable clades;
  std::vector<RowSource> sources;  // by local id, rows_on_demand
  std::vector<NewRow> new_rows;    // this chunk's new ids, in local id order
  SlotTable slots;
};

// Whether a part's range is its split's canonical side as it stands.
bool ranges_are_sides(const InternerOptions& options) noexcept {
  return options.rooted || options.any_taxa;
}

// Bits 8..71 of the key: the low byte already chose the shard.
inline std::uint64_t hash_of(Key key) noexcept {
  return static_cast<std::uint64_t>(key >> 8);
}

void check_snapshot(const Snapshot& snapshot, const InternerOptions& options) {
  const std::uint32_t n_leaves = options.n_leaves;
  if (options.any_taxa ? snapshot.order.size() > n_leaves : snapshot.order.size() != n_leaves)
    throw InvariantFailure("snapshot leaf order has the wrong length");
  const auto n_order = static_cast<std::uint32_t>(snapshot.order.size());
  for (const Part& part : snapshot.parts) {
    if (part.count == 0 || part.count > n_order || part.start > n_order - part.count ||
        (part.count == 1 && snapshot.order[part.start] >= n_leaves)) {
      throw InvariantFailure("snapshot part outside its leaf order");
    }
  }
}

enum class Interned { ok, full, clades_full, collision };

// Looks one part up in its shard, inserting it when new.  A split known by
// key but not by check is a different leaf set under the same key: `id` is
// then the id it collides with.  The shard's clade table may hold at most
// `clade_budget` leaf entries; a row beyond them is refused before any memory
// is sought for it.
Interned intern(Shard& shard, std::span<const Snapshot> chunk, std::span<const InternSnap> snaps,
                const Entry& entry, const InternerOptions& options, std::size_t clade_budget, LocalId& id) {
  const Key key = entry.key;
  std::uint64_t hash = hash_of(key);
  std::vector<Known>& known = shard.known;
  shard.slots.reserve_one(known.size(), [&known](LocalId i) { return hash_of(known[i].key); });
  std::uint32_t* slot = shard.slots.find(hash, [&](LocalId i) { return known[i].key == key; });
  if (*slot != 0) {
    id = *slot & SlotTable::kIdMask;
    if (known[id].check != entry.check) return Interned::collision;
    ++known[id].count;
    return Interned::ok;
  }
  if (known.size() >= options.shard_limit) return Interned::full;
  if (options.rows_on_demand) {
    shard.new_rows.push_back(NewRow{entry.tree, snaps[entry.tree].ids[entry.pos]});
  } else if (options.keep_clades) {
    const Snapshot& snapshot = chunk[entry.tree];
    const Part& part = snapshot.parts[snaps[entry.tree].ids[entry.pos]];
    if (!push_canonical(snapshot, part, ranges_are_sides(options), shard.clades, clade_budget))
      return Interned::clades_full;
  }
  if (known.size() == known.capacity())
    known.reserve(known.size() + std::max<std::size_t>(known.size() / 2, 16));
  id = static_cast<LocalId>(known.size());
  known.push_back(Known{key, entry.check, 1});
  *slot = SlotTable::entry(hash, id);
  return Interned::ok;
}

// How a shard's pass over a chunk ended; on a failure, at which of its
// entries, and for a collision the local id collided with.
struct ShardOutcome {
  Interned status = Interned::ok;
  std::size_t entry = 0;
  LocalId id = 0;
};

// Walks the shard's entries (trees in input order, each tree's parts in
// `parts` order), so local ids depend only on the input, not on threads or
// chunking.  Each id goes straight to its tree's InternSnap: shards write
// disjoint elements.  Stops at the first failure.
ShardOutcome intern_shard(Shard& shard, std::size_t s, std::span<const Entry> entries,
                          std::span<const Snapshot> chunk, std::span<InternSnap> snaps,
                          const InternerOptions& options, std::size_t clade_budget) {
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const Entry& entry = entries[e];
    LocalId id = 0;
    Interned status = intern(shard, chunk, snaps, entry, options, clade_budget, id);
    if (status != Interned::ok) return ShardOutcome{status, e, id};
    snaps[entry.tree].ids[entry.pos] = static_cast<SplitId>(s + kShards * id);
  }
  return {};
}

// Sizes a tree's InternSnap and fills its lengths; the ids come from the
// shards.  Counts the tree's non-pendant parts per shard into `counts`.
InternSnap start_snap(const Snapshot& snapshot, bool weighted, std::uint32_t n_pendant,
                      std::span<std::size_t, kShards> counts) {
  InternSnap snap;
  snap.n_pendant = n_pendant;
  std::size_t kept = 0;
  for (const Part& part : snapshot.parts) {
    if (part.count != 1) {
      ++kept;
      ++counts[shard_of(part.key)];
    }
  }
  snap.ids.assign(kept, 0);
  if (weighted) {
    snap.lengths.assign(n_pendant + kept, 0.0);
    std::size_t k = n_pendant;
    for (const Part& part : snapshot.parts) {
      if (part.count == 1) {
        snap.lengths[snapshot.order[part.start]] = part.length;
      } else {
        snap.lengths[k++] = part.length;
      }
    }
  }
  return snap;
}

// Trees per block of the bucket pass: each block keeps 256 counters, and
// the blocks are fixed by the chunk alone so the layout never depends on
// scheduling.
constexpr std::size_t kBlockTrees = 64;

// Runs f(block, first tree, end tree) over the chunk's blocks in parallel.
template <class F>
void for_each_block(std::size_t n_trees, F&& f) {
  std::size_t n_blocks = (n_trees + kBlockTrees - 1) / kBlockTrees;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t b = r.begin(); b != r.end(); ++b) {
                        f(b, b * kBlockTrees, std::min(n_trees, (b + 1) * kBlockTrees));
                      }
                    });
}

// A stable counting sort of the chunk's non-pendant parts by shard, in
// blocks of trees: count per block and shard, lay the blocks out shard-major,
// then scatter each block from its own cursors.  Starts every tree's
// InternSnap on the way, and releases each scattered tree at once unless new
// clade rows will need it.
void bucket(std::span<Snapshot> chunk, std::span<InternSnap> snaps, const InternerOptions& options,
            std::span<const Check> leaf_checks, std::uint32_t n_pendant, Buckets& buckets) {
  std::vector<std::array<std::size_t, kShards>> cursors((chunk.size() + kBlockTrees - 1) / kBlockTrees);
  for_each_block(chunk.size(), [&](std::size_t b, std::size_t begin, std::size_t end) {
    cursors[b].fill(0);
    for (std::size_t t = begin; t < end; ++t) {
      check_snapshot(chunk[t], options);
      snaps[t] = start_snap(chunk[t], options.weighted, n_pendant, cursors[b]);
    }
  });

  // Entries go shard by shard, and within a shard block by block: the block
  // counts read shard-major, scanned in place, are each block's cursors.
  const std::size_t blocks = cursors.size();
  auto shard_major =
      std::views::iota(std::size_t{0}, kShards * blocks) |
      std::views::transform([&](std::size_t k) -> std::size_t& { return cursors[k % blocks][k / blocks]; });
  const std::size_t total = std::reduce(shard_major.begin(), shard_major.end(), std::size_t{0});
  std::exclusive_scan(shard_major.begin(), shard_major.end(), shard_major.begin(), std::size_t{0});
  for (std::size_t s = 0; s < kShards; ++s) buckets.shard_start[s] = blocks == 0 ? 0 : cursors[0][s];
  buckets.shard_start[kShards] = total;
  buckets.entries.resize(total);

  for_each_block(chunk.size(), [&](std::size_t b, std::size_t begin, std::size_t end) {
    std::array<std::size_t, kShards>& cursor = cursors[b];
    std::vector<Check> prefix;
    for (std::size_t t = begin; t < end; ++t) {
      const std::vector<Part>& parts = chunk[t].parts;
      check_prefix(chunk[t].order, leaf_checks, prefix);
      std::uint32_t pos = 0;
      for (std::uint32_t i = 0; i < parts.size(); ++i) {
        const Part& part = parts[i];
        if (part.count == 1) continue;
        if (options.keep_clades) snaps[t].ids[pos] = i;
        buckets.entries[cursor[shard_of(part.key)]++] =
            Entry{part.key, split_check(prefix, part, ranges_are_sides(options)),
                  static_cast<std::uint32_t>(t), pos++};
      }
      if (!options.keep_clades) chunk[t] = Snapshot{};
    }
  });
}

// The first tree holding the split that `entries[failed]` collided with:
// an earlier chunk's tree holding its provisional id, else the first tree of
// this chunk that met it.  Only runs on the way to an error.
std::uint64_t first_holder(std::span<const InternSnap> earlier, std::span<const Entry> entries,
                           std::size_t failed, SplitId provisional) {
  for (std::size_t t = 0; t < earlier.size(); ++t) {
    const std::vector<SplitId>& ids = earlier[t].ids;
    if (std::find(ids.begin(), ids.end(), provisional) != ids.end()) return t;
  }
  const Entry& collided = entries[failed];
  for (std::size_t e = 0; e < failed; ++e) {
    if (entries[e].key == collided.key) return earlier.size() + entries[e].tree;
  }
  throw InvariantFailure("a split id collided with was never interned");
}

// Locates the rows of the chunk's new splits: a tree whose new rows would
// hold more entries than its leaf order keeps the order, each row then a
// range of it or that range's complement; other rows are kept sorted.
// Returns the entries the rows will take once laid out.
std::uint64_t locate_rows(std::array<Shard, kShards>& shards, std::span<const Snapshot> chunk, bool rooted,
                          CladeSources& sources) {
  std::vector<std::uint64_t> entries(chunk.size(), 0);
  std::vector<std::uint32_t> leaf_zero_at(chunk.size(), 0);
  for (std::size_t t = 0; t < chunk.size(); ++t) {
    const std::vector<LeafId>& order = chunk[t].order;
    leaf_zero_at[t] = static_cast<std::uint32_t>(std::find(order.begin(), order.end(), 0u) - order.begin());
  }
  const auto complemented = [&](const NewRow& row) {
    const Part& part = chunk[row.tree].parts[row.part];
    return !rooted && part.count > 1 && leaf_zero_at[row.tree] >= part.start &&
           leaf_zero_at[row.tree] - part.start < part.count;
  };
  std::uint64_t total = 0;
  for (const Shard& shard : shards) {
    for (const NewRow& row : shard.new_rows) {
      const Part& part = chunk[row.tree].parts[row.part];
      const std::uint64_t side = complemented(row) ? chunk[row.tree].order.size() - part.count : part.count;
      entries[row.tree] += side;
      total += side;
    }
  }
  constexpr std::uint64_t kNotKept = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> kept_at(chunk.size(), kNotKept);
  for (Shard& shard : shards) {
    for (const NewRow& row : shard.new_rows) {
      const Snapshot& tree = chunk[row.tree];
      const Part& part = tree.parts[row.part];
      if (entries[row.tree] <= tree.order.size()) {
        const auto [first, second] = canonical_side(tree, part, rooted);
        shard.sources.push_back(sorted_row(sources, first, second));
        continue;
      }
      if (kept_at[row.tree] == kNotKept) {
        kept_at[row.tree] = sources.pool.size();
        sources.pool.insert(sources.pool.end(), tree.order.begin(), tree.order.end());
      }
      shard.sources.push_back(RowSource{.at = kept_at[row.tree],
                                        .start = part.start,
                                        .count = part.count,
                                        .order = static_cast<std::uint32_t>(tree.order.size()),
                                        .complement = complemented(row)});
    }
    shard.new_rows.clear();
  }
  return total;
}

}  // namespace

struct Interner::State {
  InternerOptions options;
  bool fixed_pendants = false;
  std::array<Shard, kShards> shards;
  std::vector<Check> leaf_checks;  // by leaf index
  Buckets buckets;
  std::vector<InternSnap> snaps;
  std::uint64_t clade_entries = 0;  // over all shards, singleton rows included
  CladeSources sources;             // rows_on_demand
};

Interner::Interner(const InternerOptions& options) : state_(std::make_unique<State>()) {
  if (options.shard_limit > (1u << 24))
    throw InvariantFailure("shard limit above 2^24 overflows provisional ids");
  state_->options = options;
  if (options.any_taxa && !options.keep_clades)
    throw InvariantFailure("a set of any taxa keeps its clade rows");
  if (options.rows_on_demand && (options.any_taxa || !options.keep_clades))
    throw InvariantFailure("only a set of one taxon set keeps its clade rows for later");
  state_->fixed_pendants = options.weighted || options.keep_clades;
  state_->leaf_checks = leaf_checks(options.n_leaves, options.check_seed);
  if (options.keep_clades) state_->clade_entries = options.n_leaves;
}

void Interner::grow_leaves(std::uint32_t n_leaves) {
  State& st = *state_;
  if (!st.options.any_taxa || n_leaves < st.options.n_leaves)
    throw InvariantFailure("only a set of any taxa grows its leaves");
  st.clade_entries += n_leaves - st.options.n_leaves;
  st.options.n_leaves = n_leaves;
  st.options.row_words = (std::size_t{n_leaves} + 63) / 64;
  st.leaf_checks = leaf_checks(n_leaves, st.options.check_seed);
}

Interner::Interner(Interner&&) noexcept = default;
Interner& Interner::operator=(Interner&&) noexcept = default;
Interner::~Interner() = default;

std::optional<Error> Interner::push_chunk(std::vector<Snapshot>&& chunk) {
  State& st = *state_;
  const InternerOptions& options = st.options;
  std::uint32_t n_pendant = st.fixed_pendants ? options.n_leaves : 0;

  std::vector<InternSnap> snaps(chunk.size());
  bucket(chunk, snaps, options, st.leaf_checks, n_pendant, st.buckets);
  const Buckets& buckets = st.buckets;

  auto shard_entries = [&buckets](std::size_t s) {
    return std::span<const Entry>(buckets.entries.data() + buckets.shard_start[s],
                                  buckets.entries.data() + buckets.shard_start[s + 1]);
  };
  // No shard alone may take the clade entries left to the whole set: the
  // sum over shards is checked after the chunk, a single shard before every
  // row it allocates.
  const std::uint64_t entries_left =
      options.clade_entry_limit - std::min(options.clade_entry_limit, st.clade_entries);
  // Shards are the unit of ownership: one worker per shard, so grain 1.
  std::array<ShardOutcome, kShards> outcomes{};
  std::array<std::uint64_t, kShards> new_entries{};
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, kShards, 1), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t s = r.begin(); s != r.end(); ++s) {
          std::size_t before = st.shards[s].clades.leaves.size();
          std::size_t budget = static_cast<std::size_t>(
              std::min<std::uint64_t>(before + entries_left, CladeTable::kMaxEntries));
          outcomes[s] = intern_shard(st.shards[s], s, shard_entries(s), chunk, snaps, options, budget);
          new_entries[s] = st.shards[s].clades.leaves.size() - before;
        }
      });
  // Of several collisions, the one met in the earliest tree (then shard) is
  // reported, whatever the thread count.
  std::optional<std::size_t> collided;
  for (std::size_t s = 0; s < kShards; ++s) {
    if (outcomes[s].status == Interned::full) return Error{kTooManySplits};
    if (outcomes[s].status == Interned::clades_full) return Error{kTooManyCladeEntries};
    if (outcomes[s].status != Interned::collision) continue;
    auto tree_of = [&](std::size_t shard) { return shard_entries(shard)[outcomes[shard].entry].tree; };
    if (!collided || tree_of(s) < tree_of(*collided)) collided = s;
  }
  if (collided) {
    const ShardOutcome& outcome = outcomes[*collided];
    std::span<const Entry> entries = shard_entries(*collided);
    auto provisional = static_cast<SplitId>(*collided + kShards * outcome.id);
    return key_collision(first_holder(st.snaps, entries, outcome.entry, provisional),
                         st.snaps.size() + entries[outcome.entry].tree);
  }
  if (options.rows_on_demand) st.clade_entries += locate_rows(st.shards, chunk, options.rooted, st.sources);
  std::uint64_t total = n_pendant;
  for (std::size_t s = 0; s < kShards; ++s) {
    total += st.shards[s].known.size();
    st.clade_entries += new_entries[s];
  }
  // The per-shard limit keeps provisional ids in 32 bits, not the sum of all
  // shards; the clade table's offsets are 32-bit as well.
  if (total > options.total_limit) return Error{kTooManySplits};
  // Rows only located are refused when laid out, not here: distances never
  // need them.
  if (!options.rows_on_demand && st.clade_entries > options.clade_entry_limit)
    return Error{kTooManyCladeEntries};
  st.snaps.insert(st.snaps.end(), std::make_move_iterator(snaps.begin()),
                  std::make_move_iterator(snaps.end()));
  chunk = {};
  return std::nullopt;
}

Snapshots Interner::finish(std::vector<std::string>&& leaf_names) && {
  State& st = *state_;
  st.buckets = {};
  std::uint32_t n_pendant = st.fixed_pendants ? st.options.n_leaves : 0;

  // push_chunk has already rejected a total above 32 bits.
  const auto ids_of = [](const Shard& shard) { return static_cast<std::uint32_t>(shard.known.size()); };
  std::array<std::uint32_t, kShards> base;
  std::transform_exclusive_scan(st.shards.begin(), st.shards.end(), base.begin(), n_pendant, std::plus<>{},
                                ids_of);
  const std::uint32_t running = base.back() + ids_of(st.shards.back());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, st.snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        for (SplitId& id : st.snaps[t].ids) id = base[id % kShards] + id / kShards;
                      }
                    });

  Snapshots set;
  set.freq.reserve(running);
  set.freq.assign(n_pendant, static_cast<std::uint32_t>(st.snaps.size()));
  for (const Shard& shard : st.shards)
    for (const Known& split : shard.known) set.freq.push_back(split.count);

  if (st.options.keep_clades && !st.options.rows_on_demand) {
    std::vector<CladeTable> tables;
    tables.reserve(kShards + 1);
    tables.push_back(CladeTable::singletons(st.options.n_leaves));
    for (Shard& shard : st.shards) tables.push_back(std::move(shard.clades));
    set.clades = CladeTable::concat(std::move(tables));
  }
  if (st.options.rows_on_demand) {
    // Global ids run shard by shard, as the concatenated tables would.
    set.clade_sources = std::move(st.sources);
    set.clade_sources.pending = true;
    set.clade_sources.n_leaves = st.options.n_leaves;
    set.clade_sources.too_many = st.clade_entries > st.options.clade_entry_limit;
    for (Shard& shard : st.shards) {
      set.clade_sources.rows.insert(set.clade_sources.rows.end(), shard.sources.begin(), shard.sources.end());
      shard.sources = {};
    }
  }
  set.snaps = std::move(st.snaps);
  set.leaf_names = std::move(leaf_names);
  set.row_words = st.options.row_words;
  state_.reset();
  return set;
}

std::optional<Error> with_clades(Snapshots& set) {
  if (!set.clade_sources.pending) return std::nullopt;
  if (set.clade_sources.too_many) return Error{kTooManyCladeEntries};
  set.clades = lay_out_clades(set.clade_sources);
  set.clade_sources = CladeSources{};
  return std::nullopt;
}

}  // namespace cladomatic
