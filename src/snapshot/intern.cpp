#include "intern.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <numeric>
#include <span>
#include <utility>

namespace cladomatic {
namespace {

constexpr std::size_t kShards = 256;
constexpr char kTooManySplits[] = "Too many distinct splits for 32-bit split IDs.";
constexpr char kTooManyCladeEntries[] = "Too many distinct splits for 32-bit clade row offsets.";

using LocalId = std::uint32_t;

inline std::size_t shard_of(Key key) noexcept {
  return static_cast<std::size_t>(key & 0xFF);
}

// One non-pendant part of a chunk, copied out of its tree so that a shard
// streams its own parts from one contiguous run instead of gathering them
// from every tree.  `pos` is the part's index among its tree's non-pendant
// parts, where its id goes in the tree's InternSnap.
struct Entry {
  Key key;
  std::uint32_t size;  // smaller side
  std::uint32_t tree;
  std::uint32_t part;
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

struct Shard {
  std::vector<Key> keys;
  std::vector<std::uint32_t> sizes;  // smaller side of the split that introduced the id
  std::vector<std::uint32_t> counts;
  CladeTable clades;
  SlotTable slots;
};

// Bits 8..71 of the key: the low byte already chose the shard.
inline std::uint64_t hash_of(Key key) noexcept {
  return static_cast<std::uint64_t>(key >> 8);
}

void check_snapshot(const Snapshot& snapshot, std::uint32_t n_leaves) {
  if (snapshot.order.size() != n_leaves) throw InvariantFailure("snapshot leaf order has the wrong length");
  for (const Part& part : snapshot.parts) {
    if (part.count == 0 || part.count > n_leaves || part.start > n_leaves - part.count ||
        (part.count == 1 && snapshot.order[part.start] >= n_leaves)) {
      throw InvariantFailure("snapshot part outside its leaf order");
    }
  }
}

// Looks one part up in its shard, inserting it when new.  Returns false when
// a new split would exceed the shard's limit.
bool intern(Shard& shard, std::span<const Snapshot> chunk, const Entry& entry, const InternerOptions& options,
            LocalId& id) {
  std::uint64_t hash = hash_of(entry.key);
  shard.slots.reserve_one(shard.keys.size(), [&shard](LocalId i) { return hash_of(shard.keys[i]); });
  std::uint32_t* slot = shard.slots.find(
      hash, [&](LocalId i) { return shard.keys[i] == entry.key && shard.sizes[i] == entry.size; });
  if (*slot != 0) {
    id = *slot & SlotTable::kIdMask;
    ++shard.counts[id];
    return true;
  }
  if (shard.keys.size() >= options.shard_limit) return false;
  if (shard.keys.size() == shard.keys.capacity()) {
    std::size_t grown = shard.keys.size() + std::max<std::size_t>(shard.keys.size() / 2, 16);
    shard.keys.reserve(grown);
    shard.sizes.reserve(grown);
    shard.counts.reserve(grown);
  }
  id = static_cast<LocalId>(shard.keys.size());
  shard.keys.push_back(entry.key);
  shard.sizes.push_back(entry.size);
  shard.counts.push_back(1);
  if (options.keep_clades) {
    const Snapshot& snapshot = chunk[entry.tree];
    push_canonical(snapshot, snapshot.parts[entry.part], options.rooted, shard.clades);
  }
  *slot = SlotTable::entry(hash, id);
  return true;
}

// Walks the shard's entries (trees in input order, each tree's parts in
// `parts` order), so local ids depend only on the input, not on threads or
// chunking.  Each id goes straight to its tree's InternSnap: shards write
// disjoint elements.  Returns false when the shard is full.
bool intern_shard(Shard& shard, std::size_t s, std::span<const Entry> entries,
                  std::span<const Snapshot> chunk, std::span<InternSnap> snaps,
                  const InternerOptions& options) {
  for (const Entry& entry : entries) {
    LocalId id;
    if (!intern(shard, chunk, entry, options, id)) return false;
    snaps[entry.tree].ids[entry.pos] = static_cast<SplitId>(s + kShards * id);
  }
  return true;
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
            std::uint32_t n_pendant, Buckets& buckets) {
  std::vector<std::array<std::size_t, kShards>> cursors((chunk.size() + kBlockTrees - 1) / kBlockTrees);
  for_each_block(chunk.size(), [&](std::size_t b, std::size_t begin, std::size_t end) {
    cursors[b].fill(0);
    for (std::size_t t = begin; t < end; ++t) {
      check_snapshot(chunk[t], options.n_leaves);
      snaps[t] = start_snap(chunk[t], options.weighted, n_pendant, cursors[b]);
    }
  });

  std::size_t running = 0;
  for (std::size_t s = 0; s < kShards; ++s) {
    buckets.shard_start[s] = running;
    for (std::array<std::size_t, kShards>& cursor : cursors) running += std::exchange(cursor[s], running);
  }
  buckets.shard_start[kShards] = running;
  buckets.entries.resize(running);

  for_each_block(chunk.size(), [&](std::size_t b, std::size_t begin, std::size_t end) {
    std::array<std::size_t, kShards>& cursor = cursors[b];
    for (std::size_t t = begin; t < end; ++t) {
      const std::vector<Part>& parts = chunk[t].parts;
      std::uint32_t pos = 0;
      for (std::uint32_t i = 0; i < parts.size(); ++i) {
        const Part& part = parts[i];
        if (part.count == 1) continue;
        buckets.entries[cursor[shard_of(part.key)]++] =
            Entry{part.key, std::min(part.count, options.n_leaves - part.count),
                  static_cast<std::uint32_t>(t), i, pos++};
      }
      if (!options.keep_clades) chunk[t] = Snapshot{};
    }
  });
}

}  // namespace

struct Interner::State {
  InternerOptions options;
  bool fixed_pendants = false;
  std::array<Shard, kShards> shards;
  Buckets buckets;
  std::vector<InternSnap> snaps;
  std::uint64_t clade_entries = 0;  // over all shards, singleton rows included
};

Interner::Interner(const InternerOptions& options) : state_(std::make_unique<State>()) {
  if (options.shard_limit > (1u << 24))
    throw InvariantFailure("shard limit above 2^24 overflows provisional ids");
  state_->options = options;
  state_->fixed_pendants = options.weighted || options.keep_clades;
  if (options.keep_clades) state_->clade_entries = options.n_leaves;
}

Interner::Interner(Interner&&) noexcept = default;
Interner& Interner::operator=(Interner&&) noexcept = default;
Interner::~Interner() = default;

std::optional<Error> Interner::push_chunk(std::vector<Snapshot>&& chunk) {
  State& st = *state_;
  const InternerOptions& options = st.options;
  std::uint32_t n_pendant = st.fixed_pendants ? options.n_leaves : 0;

  std::vector<InternSnap> snaps(chunk.size());
  bucket(chunk, snaps, options, n_pendant, st.buckets);
  const Buckets& buckets = st.buckets;

  // Shards are the unit of ownership: one worker per shard, so grain 1.
  std::array<bool, kShards> full{};
  std::array<std::uint64_t, kShards> new_entries{};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, kShards, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t s = r.begin(); s != r.end(); ++s) {
                        std::size_t before = st.shards[s].clades.leaves.size();
                        std::span<const Entry> entries(buckets.entries.data() + buckets.shard_start[s],
                                                       buckets.entries.data() + buckets.shard_start[s + 1]);
                        full[s] = !intern_shard(st.shards[s], s, entries, chunk, snaps, options);
                        new_entries[s] = st.shards[s].clades.leaves.size() - before;
                      }
                    });
  std::uint64_t total = n_pendant;
  for (std::size_t s = 0; s < kShards; ++s) {
    if (full[s]) return Error{kTooManySplits};
    total += st.shards[s].keys.size();
    st.clade_entries += new_entries[s];
  }
  // The per-shard limit keeps provisional ids in 32 bits, not the sum of all
  // shards; the clade table's offsets are 32-bit as well.
  if (total > options.total_limit) return Error{kTooManySplits};
  if (st.clade_entries > options.clade_entry_limit) return Error{kTooManyCladeEntries};
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
  const auto ids_of = [](const Shard& shard) { return static_cast<std::uint32_t>(shard.keys.size()); };
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
  for (Shard& shard : st.shards) set.freq.insert(set.freq.end(), shard.counts.begin(), shard.counts.end());

  if (st.options.keep_clades) {
    std::vector<CladeTable> tables;
    tables.reserve(kShards + 1);
    tables.push_back(CladeTable::singletons(st.options.n_leaves));
    for (Shard& shard : st.shards) tables.push_back(std::move(shard.clades));
    set.clades = CladeTable::concat(std::move(tables));
  }
  set.snaps = std::move(st.snaps);
  set.leaf_names = std::move(leaf_names);
  set.row_words = st.options.row_words;
  state_.reset();
  return set;
}

}  // namespace cladomatic
