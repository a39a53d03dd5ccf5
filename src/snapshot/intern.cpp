#include "intern.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "snapshots.hpp"

namespace cladomatic {
namespace {

constexpr std::size_t kShards = 256;
constexpr char kTooManySplits[] = "Too many distinct splits for 32-bit split IDs.";
constexpr char kTooManyCladeEntries[] = "Too many distinct splits for 32-bit clade row offsets.";

using LocalId = std::uint32_t;

inline std::size_t shard_of(Key key) noexcept {
  return static_cast<std::size_t>(key & 0xFF);
}

// Where a tree's non-pendant parts go: `kept` indexes `parts`, `by_shard`
// indexes `kept` grouped by shard, each group ascending.
struct Route {
  std::vector<std::uint32_t> kept;
  std::vector<std::uint32_t> by_shard;
  std::array<std::uint32_t, kShards + 1> shard_start{};

  static Route of(const Snapshot& snapshot);
};

// One shard's local ids for a chunk, tree after tree.
struct ShardRun {
  std::vector<LocalId> local_ids;
  std::vector<std::uint32_t> tree_starts;
  bool full = false;
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

Route Route::of(const Snapshot& snapshot) {
  Route route;
  const std::vector<Part>& parts = snapshot.parts;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].count != 1) {
      route.kept.push_back(static_cast<std::uint32_t>(i));
      ++route.shard_start[shard_of(parts[i].key) + 1];
    }
  }
  for (std::size_t s = 1; s <= kShards; ++s) route.shard_start[s] += route.shard_start[s - 1];
  std::array<std::uint32_t, kShards> cursor;
  std::copy_n(route.shard_start.begin(), kShards, cursor.begin());
  route.by_shard.resize(route.kept.size());
  for (std::uint32_t p = 0; p < route.kept.size(); ++p) {
    route.by_shard[cursor[shard_of(parts[route.kept[p]].key)]++] = p;
  }
  return route;
}

// Looks one part up in its shard, inserting it when new.  Returns false when
// a new split would exceed the shard's limit.
bool intern(Shard& shard, const Snapshot& snapshot, const Part& part, const InternerOptions& options,
            LocalId& id) {
  std::uint32_t size = std::min(part.count, options.n_leaves - part.count);
  std::uint64_t hash = hash_of(part.key);
  shard.slots.reserve_one(shard.keys.size(), [&shard](LocalId i) { return hash_of(shard.keys[i]); });
  std::uint32_t* slot =
      shard.slots.find(hash, [&](LocalId i) { return shard.keys[i] == part.key && shard.sizes[i] == size; });
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
  shard.keys.push_back(part.key);
  shard.sizes.push_back(size);
  shard.counts.push_back(1);
  if (options.keep_clades) push_canonical(snapshot, part, options.rooted, shard.clades);
  *slot = SlotTable::entry(hash, id);
  return true;
}

// Visits the chunk's trees in input order and each tree's parts in `parts`
// order, so local ids depend only on the input, not on threads or chunking.
ShardRun intern_shard(Shard& shard, std::size_t s, std::span<const Snapshot> chunk,
                      std::span<const Route> routes, const InternerOptions& options) {
  ShardRun run;
  run.tree_starts.reserve(chunk.size() + 1);
  for (std::size_t t = 0; t < chunk.size(); ++t) {
    run.tree_starts.push_back(static_cast<std::uint32_t>(run.local_ids.size()));
    const Route& route = routes[t];
    for (std::uint32_t q = route.shard_start[s]; q < route.shard_start[s + 1]; ++q) {
      const Part& part = chunk[t].parts[route.kept[route.by_shard[q]]];
      LocalId id;
      if (!intern(shard, chunk[t], part, options, id)) {
        run.full = true;
        return run;
      }
      run.local_ids.push_back(id);
    }
  }
  run.tree_starts.push_back(static_cast<std::uint32_t>(run.local_ids.size()));
  return run;
}

InternSnap assemble(const Snapshot& snapshot, const Route& route, std::size_t t,
                    std::span<const ShardRun> runs, bool weighted, std::uint32_t n_pendant) {
  InternSnap snap;
  snap.n_pendant = n_pendant;
  snap.ids.assign(route.kept.size(), 0);
  for (std::size_t s = 0; s < kShards; ++s) {
    const ShardRun& run = runs[s];
    std::uint32_t from = run.tree_starts[t];
    std::uint32_t q = route.shard_start[s];
    if (run.tree_starts[t + 1] - from != route.shard_start[s + 1] - q) {
      throw InvariantFailure("shard run does not match the tree's route");
    }
    for (; q < route.shard_start[s + 1]; ++q, ++from) {
      snap.ids[route.by_shard[q]] = static_cast<SplitId>(s + kShards * run.local_ids[from]);
    }
  }
  if (weighted) {
    snap.lengths.assign(n_pendant + snap.ids.size(), 0.0);
    for (const Part& part : snapshot.parts) {
      if (part.count == 1) snap.lengths[snapshot.order[part.start]] = part.length;
    }
    for (std::size_t k = 0; k < route.kept.size(); ++k) {
      snap.lengths[n_pendant + k] = snapshot.parts[route.kept[k]].length;
    }
  }
  return snap;
}

}  // namespace

struct Interner::State {
  InternerOptions options;
  bool fixed_pendants = false;
  std::array<Shard, kShards> shards;
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

std::size_t Interner::tree_count() const noexcept {
  return state_->snaps.size();
}

std::optional<Error> Interner::push_chunk(std::vector<Snapshot>&& chunk) {
  State& st = *state_;
  const InternerOptions& options = st.options;
  std::uint32_t n_pendant = st.fixed_pendants ? options.n_leaves : 0;

  std::vector<Route> routes(chunk.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunk.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        check_snapshot(chunk[t], options.n_leaves);
                        routes[t] = Route::of(chunk[t]);
                      }
                    });

  // Shards are the unit of ownership: one worker per shard, so grain 1.
  std::vector<ShardRun> runs(kShards);
  std::vector<std::uint64_t> new_entries(kShards, 0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, kShards, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t s = r.begin(); s != r.end(); ++s) {
                        std::size_t before = st.shards[s].clades.leaves.size();
                        runs[s] = intern_shard(st.shards[s], s, chunk, routes, options);
                        new_entries[s] = st.shards[s].clades.leaves.size() - before;
                      }
                    });
  std::uint64_t total = n_pendant;
  for (std::size_t s = 0; s < kShards; ++s) {
    if (runs[s].full) return Error{kTooManySplits};
    total += st.shards[s].keys.size();
    st.clade_entries += new_entries[s];
  }
  // The per-shard limit keeps provisional ids in 32 bits, not the sum of all
  // shards; the clade table's offsets are 32-bit as well.
  if (total > options.total_limit) return Error{kTooManySplits};
  if (st.clade_entries > options.clade_entry_limit) return Error{kTooManyCladeEntries};

  std::size_t first = st.snaps.size();
  st.snaps.resize(first + chunk.size());
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, chunk.size()), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t t = r.begin(); t != r.end(); ++t) {
          st.snaps[first + t] = assemble(chunk[t], routes[t], t, runs, options.weighted, n_pendant);
        }
      });
  chunk = {};
  return std::nullopt;
}

Snapshots Interner::finish(std::vector<std::string>&& leaf_names) && {
  State& st = *state_;
  std::uint32_t n_pendant = st.fixed_pendants ? st.options.n_leaves : 0;

  // push_chunk has already rejected a total above 32 bits.
  std::array<std::uint32_t, kShards> base;
  std::uint32_t running = n_pendant;
  for (std::size_t s = 0; s < kShards; ++s) {
    base[s] = running;
    running += static_cast<std::uint32_t>(st.shards[s].keys.size());
  }
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
