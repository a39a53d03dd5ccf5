// The tree-set engine module: one interned tree set kept alive between calls,
// with each metric's layout built on first use.  Python code wraps it
// (cladomatic_tools.TreeSet) and checks the arguments; this layer converts,
// runs every heavy step with the interpreter lock released on as many threads
// as the caller asks, stoppable by Ctrl-C (interruptible.hpp), and turns the
// core's errors into Python exceptions.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "annotate.hpp"
#include "api/convert.hpp"
#include "api/failure.hpp"
#include "api/iterator_source.hpp"
#include "distances/block.hpp"
#include "distances/boundary.hpp"
#include "distances/matching.hpp"
#include "distances/pruned.hpp"
#include "distances/quartets.hpp"
#include "distances/rf.hpp"
#include "distances/split_lists.hpp"
#include "distances/symmetric_block.hpp"
#include "distances/topologies.hpp"
#include "distances/tree_vectors.hpp"
#include "distances/weighted_terms.hpp"
#include "interruptible.hpp"
#include "output/table_text.hpp"
#include "reading.hpp"
#include "snapshot/export.hpp"
#include "snapshot/restrict.hpp"
#include "snapshot/serialise.hpp"
#include "snapshot/snapshots.hpp"
#include "snapshot/taxa.hpp"
#include "summaries/ccd.hpp"
#include "summaries/consensus.hpp"
#include "summaries/mcc.hpp"
#include "summaries/shape.hpp"
#include "summaries/split_summary.hpp"

namespace nb = nanobind;

namespace cladomatic {
namespace {

using Indices = nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Thrown where a computation stopped by Ctrl-C would otherwise be kept; the
// call raises KeyboardInterrupt instead, so it never reaches Python.
struct Cancelled : InvariantFailure {
  Cancelled() : InvariantFailure("a cancelled computation was kept") {}
};

// A layout, or ValueError with the core's message.  Runs without the lock:
// the error is raised once it is held again.
PrunedLayout laid_out(Result<PrunedLayout>&& layout) {
  if (!layout) throw nb::value_error(layout.error().c_str());
  return std::move(layout).value();
}

// A value built on first use by whichever caller gets there first; callers
// may run at once with the lock released.  A build stopped by Ctrl-C is
// incomplete: it is thrown away, and the next call builds the value again.
template <class T>
class Lazy {
 public:
  template <class Make>
  const T& get(const Make& make) {
    std::call_once(once_, [&] {
      T value = make();
      if (stop_requested()) throw Cancelled();
      value_ = std::make_unique<T>(std::move(value));
    });
    return *value_;
  }

 private:
  std::once_flag once_;
  std::unique_ptr<T> value_;
};

// A set's CCD graph, or why it has none (a tree that is not binary).
struct CcdBuilt {
  CcdGraph graph;
  std::optional<Error> error;
};

struct Engine {
  SavedSet saved;
  Lazy<RfLayout> rf;
  Lazy<WeightedLayout> weighted;  // with the WRF self terms
  Lazy<std::vector<WeightedSelf>> kf_self;
  Lazy<SplitLists> lists;
  Lazy<std::vector<double>> information;
  Lazy<InfoWeights> info;
  Lazy<std::vector<std::uint32_t>> splits;
  Lazy<Topologies> topologies;
  Lazy<std::vector<std::uint32_t>> first_holders;
  Lazy<PrunedLayout> pruned;
  Lazy<std::vector<double>> factorials;
  Lazy<SplitBits> matching_splits;  // the generalised RF distances' (matching.hpp)
  Lazy<CcdBuilt> ccd;
  Lazy<CcdTables> ccd_tables[2];  // by CcdKind

  const Snapshots& set() const noexcept { return saved.set; }

  // The set with its clade rows laid out, for whatever needs a split's
  // leaves: distances never do, and on deep trees the rows outweigh the rest
  // of the set many times over.  Engines are never const objects, so the
  // rows may be laid out behind a const reference.  A failure leaves the
  // flag unset, to fail the same way next time.
  const Snapshots& with_clades() const {
    std::call_once(clades_laid_out, [&] {
      if (std::optional<Error> error = cladomatic::with_clades(const_cast<Snapshots&>(saved.set)))
        throw nb::value_error(error->message.c_str());
    });
    return saved.set;
  }
  mutable std::once_flag clades_laid_out;

  // Every kernel but the pruned ones compares splits of one leaf set.
  void require_same_taxa() const {
    if (!set().taxa.empty())
      throw nb::value_error("the trees hold different taxa: compare them pruned to the taxa they share");
  }
  std::size_t n_trees() const noexcept { return set().snaps.size(); }
  std::uint32_t n_leaves() const noexcept { return static_cast<std::uint32_t>(set().leaf_names.size()); }

  std::uint32_t rf_threshold() const { return rf_dense_threshold(n_trees(), rf_dense_share()); }

  const Topologies& topology_groups() {
    return topologies.get([&] { return distinct_topologies(set().snaps); });
  }

  std::span<const std::uint32_t> first_holder() {
    return first_holders.get([&] { return cladomatic::first_holders(set().snaps, set().freq.size()); });
  }

  const RfLayout& rf_layout() {
    return rf.get([&] {
      Input input = Input::borrowing(set());
      return lay_out_rf(input, rf_threshold());
    });
  }

  const InfoWeights& information_weights() {
    const std::vector<double>& by_split = information_by_split();
    return info.get([&] { return info_weights(set().snaps, set().freq, by_split, rf_threshold()); });
  }

  std::uint32_t weighted_threshold() const { return dense_threshold(weighted_dense_share(), n_trees()); }

  // One layout for both metrics: the rows and postings are the same.
  const WeightedLayout& weighted_layout() {
    if (!saved.lengths) throw nb::value_error("the set was read without branch lengths (lengths=False)");
    return weighted.get([&] {
      Input input = Input::borrowing(set());
      return lay_out_weighted<Wrf>(input, weighted_threshold());
    });
  }

  std::span<const WeightedSelf> self_terms(PairMetric metric) {
    const WeightedLayout& layout = weighted_layout();
    if (metric == PairMetric::kWrf) return layout.self;
    return kf_self.get(
        [&] { return weighted_self_terms<Kf>(set().snaps, set().freq, weighted_threshold()); });
  }

  // Non-trivial splits per tree.
  std::span<const std::uint32_t> split_counts() {
    return splits.get([&] {
      std::vector<std::uint32_t> counts;
      for (const InternSnap& snap : set().snaps)
        counts.push_back(static_cast<std::uint32_t>(snap.ids.size()));
      return counts;
    });
  }

  const SplitLists& sorted_lists() {
    return lists.get([&] { return split_lists(set().snaps, saved.lengths); });
  }

  // The trees laid out for pruning over the set's own leaves.
  const PrunedLayout& pruned_layout() {
    return pruned.get([&] {
      std::vector<LeafId> own(n_leaves());
      std::iota(own.begin(), own.end(), 0u);
      return laid_out(lay_out_pruned(with_clades(), saved.rooted, saved.lengths, own, n_leaves()));
    });
  }

  const std::vector<double>& log2_factorials() {
    return factorials.get([&] { return log2_double_factorials(n_leaves()); });
  }

  const std::vector<double>& information_by_split() {
    if (saved.rooted) throw nb::value_error("info_rf is defined for unrooted trees only");
    return information.get([&] { return split_information(with_clades().clades, n_leaves()); });
  }
};

// The set the pipeline builds from `source` on an arena of `threads`, with
// the lock released.  The pipeline runs on a helper thread while this one
// watches for signals (run_interruptible): Ctrl-C cancels it between trees,
// and a source blocked in a read of a pipe gives up once it sees the
// cancellation.
Result<Snapshots> built_set(TreeSource& source, bool rooted, bool lengths, bool any_taxa, Threads threads) {
  std::optional<Result<Snapshots>> built;
  run_interruptible(threads, [&] {
    built.emplace(from_newick_iter_opts(source, {.rooted = rooted,
                                                 .weighted = lengths,
                                                 .keep_clades = true,
                                                 .rows_on_demand = !any_taxa,
                                                 .any_taxa = any_taxa}));
  });
  return std::move(*built);
}

[[noreturn]] void raise_failure(Failure&& failure) {
  raise(std::move(failure));
  throw nb::python_error();
}

Engine* engine_of(Result<Snapshots>&& built, bool rooted, bool lengths) {
  if (!built) raise_failure(std::move(built).take_error());
  if (built.value().snaps.empty()) throw nb::value_error("no trees to read");
  auto engine = std::make_unique<Engine>();
  engine->saved = SavedSet{std::move(built).value(), rooted, lengths};
  return engine.release();
}

Engine* build(nb::object items, nb::object translate, bool rooted, bool lengths, bool any_taxa,
              Threads threads) {
  std::optional<TranslateMap> table;
  if (!translate.is_none() && convert_translate_map(translate.ptr(), table.emplace()) < 0)
    throw nb::python_error();
  IteratorSource source(PyRef::steal(nb::iter(items).release().ptr()), "trees", table ? &*table : nullptr);
  Result<Snapshots> built = built_set(source, rooted, lengths, any_taxa, threads);
  if (PyRef recorded = source.take_recorded()) raise_failure(std::move(recorded));
  return engine_of(std::move(built), rooted, lengths);
}

// None when reading ended on a fault of the input, which `reading` keeps.
Engine* build_from(nb::handle reading, bool rooted, bool lengths, bool any_taxa, Threads threads) {
  Result<Snapshots> built = built_set(tree_source(reading), rooted, lengths, any_taxa, threads);
  if (!reading_went_well(reading)) return nullptr;
  return engine_of(std::move(built), rooted, lengths);
}

Engine* load(nb::bytes bytes) {
  std::optional<Result<SavedSet>> saved;
  {
    nb::gil_scoped_release released;
    saved.emplace(deserialise({static_cast<const std::byte*>(bytes.data()), bytes.size()}));
  }
  if (!*saved) raise_failure(std::move(*saved).take_error());
  auto engine = std::make_unique<Engine>();
  engine->saved = std::move(*saved).value();
  return engine.release();
}

nb::bytes save(const Engine& engine) {
  std::vector<std::byte> bytes;
  {
    nb::gil_scoped_release released;
    engine.with_clades();
    bytes = serialise(engine.saved);
  }
  return nb::bytes(bytes.data(), bytes.size());
}

template <class Cell>
Cell* cells(Out& out, std::size_t rows, std::size_t cols) {
  if (out.dtype() != nb::dtype<Cell>() || out.shape(0) != rows || out.shape(1) != cols)
    throw nb::value_error("out has the wrong dtype or shape");
  return static_cast<Cell*>(out.data());
}

PairMetric pair_metric(const std::string& metric) {
  if (metric == "rf") return PairMetric::kRf;
  if (metric == "rf_norm") return PairMetric::kRfNorm;
  if (metric == "info_rf") return PairMetric::kInfoRf;
  if (metric == "wrf") return PairMetric::kWrf;
  if (metric == "kf") return PairMetric::kKf;
  throw nb::value_error(("unknown metric " + metric).c_str());
}

// Rows of a block finished so far, polled by another thread while a call
// computes; each call that is given one starts it again at 0 of its rows.
struct Progress {
  RowCounter done{0};
  std::atomic<std::uint64_t> total{0};
};

RowCounter* started(Progress* progress, std::size_t rows) {
  if (progress == nullptr) return nullptr;
  progress->done.store(0, std::memory_order_relaxed);
  progress->total.store(rows, std::memory_order_relaxed);
  return &progress->done;
}

// A metric of the topologies alone, computed once per distinct pair of
// topologies in the block and copied to the rest; the cells are the same.
// Worth it only where the block shrinks to half or less.  Rows are trees
// grouped by `row_groups`, columns by `col_groups` (the same grouping within
// one set).
template <class Cell, class Kernel>
void by_topology(const Topologies& row_groups, const Topologies& col_groups, Block block, Cell* out,
                 const Kernel& kernel) {
  if (row_groups.first.size() < row_groups.group_of.size() ||
      col_groups.first.size() < col_groups.group_of.size()) {
    const DistinctBlock distinct = distinct_block(row_groups, block.rows, col_groups, block.cols);
    if (2 * distinct.rows.size() * distinct.cols.size() <= block.rows.size() * block.cols.size()) {
      std::vector<Cell> small(distinct.rows.size() * distinct.cols.size());
      kernel(Block{distinct.rows, distinct.cols, block.rows_done}, small.data());
      if (stop_requested()) return;
      expand_block(distinct, small.data(), out);
      count_rows(block.rows_done, block.rows.size() - distinct.rows.size());
      return;
    }
  }
  kernel(block, out);
}

void fill_distances(Engine& engine, PairMetric pair, Block block, Out& out) {
  const std::size_t r = block.rows.size();
  const std::size_t c = block.cols.size();
  switch (pair) {
    case PairMetric::kRf: {
      const RfLayout& layout = engine.rf_layout();
      const Topologies& groups = engine.topology_groups();
      by_topology(groups, groups, block, cells<std::uint32_t>(out, r, c), [&](Block part, std::uint32_t* to) {
        symmetric_block(part, to, [&](Block band, std::uint32_t* into) { rf_block(layout, band, into); });
      });
      return;
    }
    case PairMetric::kRfNorm: {
      const RfLayout& layout = engine.rf_layout();
      const std::span<const std::uint32_t> splits = engine.split_counts();
      const Topologies& groups = engine.topology_groups();
      by_topology(groups, groups, block, cells<double>(out, r, c), [&](Block part, double* to) {
        symmetric_block(part, to,
                        [&](Block band, double* into) { rf_norm_block(layout, band, splits, into); });
      });
      return;
    }
    case PairMetric::kInfoRf: {
      // Its sum is the same in either order of the pair, so a group's first
      // tree stands for the others exactly.
      const RfLayout& layout = engine.rf_layout();
      const InfoWeights& weights = engine.information_weights();
      const Topologies& groups = engine.topology_groups();
      by_topology(groups, groups, block, cells<double>(out, r, c), [&](Block part, double* to) {
        symmetric_block(part, to,
                        [&](Block band, double* into) { info_rf_block(layout, weights, band, into); });
      });
      return;
    }
    case PairMetric::kWrf: {
      const WeightedLayout& layout = engine.weighted_layout();
      const std::span<const WeightedSelf> self = engine.self_terms(PairMetric::kWrf);
      symmetric_block(block, cells<double>(out, r, c),
                      [&](Block band, double* into) { wrf_block(layout, self, band, into); });
      return;
    }
    case PairMetric::kKf: {
      const WeightedLayout& layout = engine.weighted_layout();
      const std::span<const WeightedSelf> self = engine.self_terms(PairMetric::kKf);
      symmetric_block(block, cells<double>(out, r, c),
                      [&](Block band, double* into) { kf_block(layout, self, band, into); });
      return;
    }
  }
}

void distances(Engine& engine, const std::string& metric, Indices rows, Indices cols, Out out,
               Threads threads, Progress* progress) {
  engine.require_same_taxa();
  const PairMetric pair = pair_metric(metric);
  const Block block{
      {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
  run_interruptible(threads, [&] { fill_distances(engine, pair, block, out); });
}

void fill_against(Engine& engine, Engine& other, PairMetric pair, Block block, Out& out) {
  const std::size_t n = block.rows.size();
  const std::size_t m = block.cols.size();
  if ((pair == PairMetric::kWrf || pair == PairMetric::kKf) && !(engine.saved.lengths && other.saved.lengths))
    throw nb::value_error("both sets must be read with branch lengths (lengths=True)");
  const SplitLists& mine = engine.sorted_lists();
  const SplitLists theirs =
      remapped(other.sorted_lists(), join_rows(other.with_clades().clades, engine.with_clades().clades));
  if (pair == PairMetric::kRf) {
    by_topology(engine.topology_groups(), other.topology_groups(), block, cells<std::uint32_t>(out, n, m),
                [&](Block part, std::uint32_t* to) {
                  merge_block_rf(mine, part.rows, theirs, part.cols, engine.n_leaves(), to, part.rows_done);
                });
    return;
  }
  // Splits only the other set holds have ids after this set's, in the other
  // set's order.
  std::vector<double> information;
  if (pair == PairMetric::kInfoRf) {
    information = engine.information_by_split();
    const std::vector<double>& more = other.information_by_split();
    information.insert(information.end(), more.begin(), more.end());
  }
  const PairContext context{pair, engine.n_leaves(), information};
  const auto kernel = [&](Block part, double* to) {
    merge_block(context, mine, part.rows, theirs, part.cols, to, part.rows_done);
  };
  if (pair == PairMetric::kWrf || pair == PairMetric::kKf) {
    kernel(block, cells<double>(out, n, m));
    return;
  }
  by_topology(engine.topology_groups(), other.topology_groups(), block, cells<double>(out, n, m), kernel);
}

// Rows pick trees of this set, columns trees of the other.
void against(Engine& engine, Engine& other, const std::string& metric, Indices rows, Indices cols, Out out,
             Threads threads, Progress* progress) {
  if (engine.set().leaf_names != other.set().leaf_names)
    throw nb::value_error("the two sets have different leaf names");
  engine.require_same_taxa();
  other.require_same_taxa();
  if (engine.saved.rooted != other.saved.rooted)
    throw nb::value_error("one set was read as rooted trees and the other as unrooted");
  const PairMetric pair = pair_metric(metric);
  const std::span<const std::uint32_t> picked_rows{rows.data(), rows.shape(0)};
  const std::span<const std::uint32_t> picked_cols{cols.data(), cols.shape(0)};
  for (const std::uint32_t row : picked_rows)
    if (row >= engine.n_trees()) throw nb::index_error("a row index is out of range");
  for (const std::uint32_t col : picked_cols)
    if (col >= other.n_trees()) throw nb::index_error("a column index is out of range");
  const Block block{picked_rows, picked_cols, started(progress, picked_rows.size())};
  run_interruptible(threads, [&] { fill_against(engine, other, pair, block, out); });
}

PrunedContext pruned_context(Engine& engine, const std::string& metric, bool same_set) {
  const PairMetric pair = pair_metric(metric);
  if (pair == PairMetric::kInfoRf && engine.saved.rooted)
    throw nb::value_error("info_rf is defined for unrooted trees only");
  if ((pair == PairMetric::kWrf || pair == PairMetric::kKf) && !engine.saved.lengths)
    throw nb::value_error("the set was read without branch lengths (lengths=False)");
  return PrunedContext{pair, engine.saved.rooted, same_set, {}};
}

// Each pair compared on the taxa its two trees share; returns the number of
// pairs that share too few to have a distance (NaN).
std::uint64_t pruned_distances(Engine& engine, const std::string& metric, Indices rows, Indices cols, Out out,
                               Threads threads) {
  const Block block{{rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}};
  double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
  PrunedContext context = pruned_context(engine, metric, true);
  std::uint64_t short_count = 0;
  run_interruptible(threads, [&] {
    const PrunedLayout& layout = engine.pruned_layout();
    if (context.metric == PairMetric::kInfoRf) context.table = engine.log2_factorials();
    context.lists = &engine.sorted_lists();
    context.n_pendant = engine.n_leaves();
    symmetric_block(block, cells_out,
                    [&](Block band, double* into) { pruned_block(context, layout, layout, band, into); });
    short_count = short_pairs(layout, layout, block, fewest_shared_taxa(context.rooted));
  });
  return short_count;
}

// The same with rows of this set and columns of `other`, both laid out over
// the union of their leaves.
std::uint64_t pruned_against(Engine& engine, Engine& other, const std::string& metric, Indices rows,
                             Indices cols, Out out, Threads threads) {
  if (engine.saved.rooted != other.saved.rooted)
    throw nb::value_error("one set was read as rooted trees and the other as unrooted");
  const Block block{{rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}};
  for (const std::uint32_t row : block.rows)
    if (row >= engine.n_trees()) throw nb::index_error("a row index is out of range");
  for (const std::uint32_t col : block.cols)
    if (col >= other.n_trees()) throw nb::index_error("a column index is out of range");
  double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
  PrunedContext context = pruned_context(engine, metric, false);
  pruned_context(other, metric, false);
  std::uint64_t short_count = 0;
  run_interruptible(threads, [&] {
    const std::vector<std::string>& mine = engine.set().leaf_names;
    const std::vector<std::string>& theirs = other.set().leaf_names;
    std::vector<std::string> universe;
    std::set_union(mine.begin(), mine.end(), theirs.begin(), theirs.end(), std::back_inserter(universe));
    const auto places = [&](const std::vector<std::string>& names) {
      std::vector<LeafId> place;
      for (const std::string& name : names)
        place.push_back(
            static_cast<LeafId>(std::lower_bound(universe.begin(), universe.end(), name) - universe.begin()));
      return place;
    };
    const auto size = static_cast<std::uint32_t>(universe.size());
    std::optional<PrunedLayout> joined_mine;
    std::optional<PrunedLayout> joined_theirs;
    const auto joined = [&](const Engine& of, const std::vector<std::string>& names) {
      return laid_out(
          lay_out_pruned(of.with_clades(), of.saved.rooted, of.saved.lengths, places(names), size));
    };
    if (mine.size() != universe.size()) joined_mine = joined(engine, mine);
    if (theirs.size() != universe.size()) joined_theirs = joined(other, theirs);
    const PrunedLayout& a = joined_mine ? *joined_mine : engine.pruned_layout();
    const PrunedLayout& b = joined_theirs ? *joined_theirs : other.pruned_layout();
    std::vector<double> table;
    if (context.metric == PairMetric::kInfoRf) {
      table = log2_double_factorials(size);
      context.table = table;
    }
    pruned_block(context, a, b, block, cells_out);
    short_count = short_pairs(a, b, block, fewest_shared_taxa(context.rooted));
  });
  return short_count;
}

void fill_sums(Engine& engine, const std::string& metric, double* out) {
  std::vector<double> values;
  if (metric == "rf") {
    values = rf_sums(engine.sorted_lists(), engine.set().freq, engine.n_leaves(), {});
  } else if (metric == "info_rf") {
    const std::vector<double>& information = engine.information_by_split();
    values = rf_sums(engine.sorted_lists(), engine.set().freq, engine.n_leaves(), information);
  } else if (metric == "kf2") {
    if (!engine.saved.lengths)
      throw nb::value_error("the set was read without branch lengths (lengths=False)");
    values = kf2_sums(engine.sorted_lists(), engine.set().freq.size());
  } else {
    throw nb::value_error(("no sum without the matrix for metric " + metric).c_str());
  }
  std::copy(values.begin(), values.end(), out);
}

// Per tree, the sum of its distances to every tree of the set.
void sums(Engine& engine, const std::string& metric, nb::ndarray<double, nb::ndim<1>, nb::c_contig> out,
          Threads threads) {
  if (out.shape(0) != engine.n_trees()) throw nb::value_error("out has the wrong shape");
  engine.require_same_taxa();
  run_interruptible(threads, [&] { fill_sums(engine, metric, out.data()); });
}

// The set's trees pruned to the leaves `keep` (ascending indices that every
// tree holds).
Engine* restricted_to(const Engine& engine, const std::vector<LeafId>& keep) {
  const std::vector<LeafId> common = common_taxa(engine.set());
  if (keep.empty() || !std::includes(common.begin(), common.end(), keep.begin(), keep.end()) ||
      !std::is_sorted(keep.begin(), keep.end()))
    throw nb::value_error("keep must be ascending leaf indices that every tree holds");
  auto pruned = std::make_unique<Engine>();
  {
    nb::gil_scoped_release released;
    pruned->saved =
        SavedSet{restricted(engine.with_clades(), keep, engine.saved.rooted, engine.saved.lengths),
                 engine.saved.rooted, engine.saved.lengths};
  }
  return pruned.release();
}

// The first tree whose taxa differ from tree 0's, or None.
std::optional<std::size_t> differing_tree(const Engine& engine) {
  const Snapshots& set = engine.set();
  const std::size_t words = set.row_words;
  for (std::size_t t = 1; !set.taxa.empty() && t < engine.n_trees(); ++t) {
    if (!std::equal(set.taxa.begin(), set.taxa.begin() + words, set.taxa.begin() + t * words)) return t;
  }
  return std::nullopt;
}

// The leaves tree `tree` holds, ascending.
std::vector<LeafId> tree_taxa(const Engine& engine, std::size_t tree) {
  if (tree >= engine.n_trees()) throw nb::index_error("a tree index is out of range");
  return taxa_of(engine.set(), tree);
}

std::size_t n_splits(const Engine& engine) {
  return engine.set().freq.size() - engine.n_leaves();
}

void split_sides(const Engine& engine, nb::ndarray<bool, nb::ndim<2>, nb::c_contig> out) {
  const std::size_t leaves = engine.n_leaves();
  if (out.shape(0) != n_splits(engine) || out.shape(1) != leaves)
    throw nb::value_error("out has the wrong shape");
  engine.require_same_taxa();
  nb::gil_scoped_release released;
  bool* cells = out.data();
  std::fill(cells, cells + out.size(), false);
  for (std::size_t s = 0; s < n_splits(engine); ++s) {
    for (LeafId leaf : engine.with_clades().clades.row(leaves + s)) cells[s * leaves + leaf] = true;
  }
}

void group_counts_(Engine& engine, nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig> groups,
                   nb::ndarray<std::int64_t, nb::ndim<2>, nb::c_contig> out, Threads threads) {
  if (groups.shape(0) != engine.n_trees() || out.shape(1) != n_splits(engine))
    throw nb::value_error("groups or out has the wrong shape");
  engine.require_same_taxa();
  run_interruptible(threads, [&] {
    group_counts(engine.sorted_lists(), {groups.data(), groups.shape(0)}, out.shape(0), engine.n_leaves(),
                 n_splits(engine), out.data());
  });
}

// A vector handed to NumPy without a copy: the array owns it.
template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> to_numpy(std::vector<T>&& values) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner);
}

nb::tuple shape_arrays(Shape&& shape) {
  return nb::make_tuple(to_numpy(std::move(shape.parent)), to_numpy(std::move(shape.split)));
}

// The consensus tree as (parent, split) arrays in preorder: the majority rule
// of the splits held by at least `min_count` trees, more than half of them,
// or the greedy consensus.
nb::tuple consensus(Engine& engine, std::uint32_t min_count, bool greedy, Threads threads) {
  engine.require_same_taxa();
  if (!greedy && 2 * std::uint64_t{min_count} <= engine.n_trees())
    throw nb::value_error("min_count must be more than half of the trees");
  Shape shape;
  run_interruptible(threads, [&] {
    const Snapshots& set = engine.with_clades();
    const std::vector<SplitId> ids = greedy ? greedy_splits(set.clades, set.freq, engine.first_holder(),
                                                            engine.n_leaves(), engine.saved.rooted)
                                            : majority_splits(set.freq, engine.n_leaves(), min_count);
    shape = shape_of(set.clades, ids, engine.n_leaves());
  });
  return shape_arrays(std::move(shape));
}

// One tree of the set as (parent, split, lengths): its own branch length
// above each node (NaN at the root), or None for a set without lengths.
nb::tuple tree_shape(const Engine& engine, std::uint32_t tree) {
  engine.require_same_taxa();
  if (tree >= engine.n_trees()) throw nb::index_error("tree index out of range");
  const Snapshots& set = engine.with_clades();
  const InternSnap& snap = set.snaps[tree];
  Shape shape;
  std::vector<double> lengths;
  {
    nb::gil_scoped_release released;
    shape = shape_of(set.clades, snap.ids, engine.n_leaves());
    if (!snap.lengths.empty()) lengths = node_lengths(snap, shape);
  }
  nb::object own_lengths = lengths.empty() ? nb::none() : nb::cast(to_numpy(std::move(lengths)));
  nb::tuple arrays = shape_arrays(std::move(shape));
  return nb::make_tuple(arrays[0], arrays[1], own_lengths);
}

// Per split of `ids`: trees of each group holding it (n_groups x k, flat),
// and its mean length, then median and HPD bounds when `spread` (empty
// otherwise).
nb::tuple split_summary(const Engine& engine, Indices ids,
                        nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig> groups,
                        std::size_t n_groups, bool spread, Threads threads, Progress* progress) {
  engine.require_same_taxa();
  if (groups.shape(0) != engine.n_trees()) throw nb::value_error("groups needs one group per tree");
  for (std::size_t i = 0; i < ids.shape(0); ++i)
    if (ids.data()[i] >= engine.set().freq.size()) throw nb::index_error("a split id is out of range");
  SplitSummary summary;
  RowCounter* trees_done = started(progress, engine.n_trees() + (spread ? ids.shape(0) : 0));
  run_interruptible(threads, [&] {
    summary = summarise_splits(engine.set().snaps, engine.set().freq, {groups.data(), groups.shape(0)},
                               n_groups, {ids.data(), ids.shape(0)}, spread, trees_done);
  });
  return nb::make_tuple(to_numpy(std::move(summary.counts)), to_numpy(std::move(summary.mean)),
                        to_numpy(std::move(summary.median)), to_numpy(std::move(summary.hpd_low)),
                        to_numpy(std::move(summary.hpd_high)));
}

// For rooted sets with lengths: per split id of `ids` and then the root,
// the mean, median and 95% interval of its node's heights.
nb::tuple split_heights(const Engine& engine, Indices ids, Threads threads) {
  engine.require_same_taxa();
  if (!engine.saved.rooted || !engine.saved.lengths)
    throw nb::value_error("node heights need rooted trees with branch lengths");
  for (std::size_t i = 0; i < ids.shape(0); ++i)
    if (ids.data()[i] >= engine.set().freq.size()) throw nb::index_error("a split id is out of range");
  HeightSummary summary;
  const Snapshots& set = engine.with_clades();
  run_interruptible(threads, [&] {
    summary =
        summarise_heights(set.snaps, set.clades, engine.n_leaves(), set.freq, {ids.data(), ids.shape(0)});
  });
  return nb::make_tuple(to_numpy(std::move(summary.mean)), to_numpy(std::move(summary.median)),
                        to_numpy(std::move(summary.low)), to_numpy(std::move(summary.high)));
}

// For every split id of `other`, the id of the same split in this set, or
// this set's number of ids where it has none.
nb::ndarray<nb::numpy, std::uint32_t, nb::ndim<1>> ids_in(const Engine& engine, const Engine& other) {
  engine.require_same_taxa();
  other.require_same_taxa();
  if (engine.set().leaf_names != other.set().leaf_names)
    throw nb::value_error("the two sets have different leaf names");
  if (engine.saved.rooted != other.saved.rooted)
    throw nb::value_error("one set was read as rooted trees and the other as unrooted");
  std::vector<SplitId> rows;
  {
    nb::gil_scoped_release released;
    rows = join_rows(other.with_clades().clades, engine.with_clades().clades);
    const auto none = static_cast<SplitId>(engine.set().freq.size());
    for (SplitId& row : rows) row = std::min(row, none);
  }
  return to_numpy(std::move(rows));
}

std::uint32_t mcc(const Engine& engine, Threads threads, Progress* progress) {
  engine.require_same_taxa();
  RowCounter* trees_done = started(progress, engine.n_trees());
  std::uint32_t best = 0;
  run_interruptible(threads, [&] { best = mcc_tree(engine.set().snaps, engine.set().freq, trees_done); });
  return best;
}

// The exports of the module's *_with_snapshots_* calls for this set: the
// number of splits (pendant edges included), per tree its presence bytes or
// branch lengths in one column order, and each split's leaves as bits.
nb::tuple exports(const Engine& engine, bool lengths, Threads threads) {
  engine.require_same_taxa();
  if (lengths && !engine.saved.lengths)
    throw nb::value_error("the set was read without branch lengths (lengths=False)");
  const Snapshots& set = engine.with_clades();
  std::vector<std::byte> per_tree;
  std::vector<std::uint8_t> sides;
  std::size_t n_bip = 0;
  run_interruptible(threads, [&] {
    const ColumnOrder order = column_order(set);
    n_bip = order.columns.size();
    per_tree.resize(set.snaps.size() * n_bip * (lengths ? sizeof(double) : 1));
    if (lengths) {
      fill_branch_length_matrix(set, order, per_tree);
    } else {
      fill_presence_matrix(set, order, {reinterpret_cast<std::uint8_t*>(per_tree.data()), per_tree.size()});
    }
    sides.resize(n_bip * bipartition_stride(set));
    fill_bipartition_bytes(set, order.columns, sides);
  });
  return nb::make_tuple(n_bip, nb::bytes(per_tree.data(), per_tree.size()),
                        nb::bytes(sides.data(), sides.size()));
}

// Per tree, the number of its topology: topologies are numbered in order of
// their first tree, two trees sharing one exactly when they hold the same
// splits.
void topology_ids(Engine& engine, nb::ndarray<std::uint32_t, nb::ndim<1>, nb::c_contig> out,
                  Threads threads) {
  if (out.shape(0) != engine.n_trees()) throw nb::value_error("out has the wrong shape");
  engine.require_same_taxa();
  run_interruptible(threads, [&] {
    const std::vector<std::uint32_t>& group_of = engine.topology_groups().group_of;
    std::copy(group_of.begin(), group_of.end(), out.data());
  });
}

// Whether some tree has a branch length other than 0: a set of trees written
// without lengths has none.
bool any_length(const Engine& engine) {
  if (!engine.saved.lengths) return false;
  nb::gil_scoped_release released;
  return std::any_of(engine.set().snaps.begin(), engine.set().snaps.end(), [](const InternSnap& snap) {
    return std::any_of(snap.lengths.begin(), snap.lengths.end(), [](double a) { return a != 0.0; });
  });
}

// Rows of a distance table as text, for the command's row bands.
nb::bytes format_rows_(const std::vector<std::string>& names,
                       nb::ndarray<nb::ro, nb::ndim<2>, nb::c_contig, nb::device::cpu> values,
                       const std::string& delimiter) {
  if (delimiter.size() != 1) throw nb::value_error("delimiter must be one character");
  if (values.shape(0) != names.size()) throw nb::value_error("values need one row per name");
  const std::vector<std::string_view> views(names.begin(), names.end());
  const std::size_t size = values.size();
  TableText text;
  if (values.dtype() == nb::dtype<std::uint32_t>()) {
    const std::span cells(static_cast<const std::uint32_t*>(values.data()), size);
    nb::gil_scoped_release released;
    text = format_rows(views, cells, delimiter[0]);
  } else if (values.dtype() == nb::dtype<double>()) {
    const std::span cells(static_cast<const double*>(values.data()), size);
    nb::gil_scoped_release released;
    text = format_rows(views, cells, delimiter[0]);
  } else {
    throw nb::value_error("values must be uint32 or float64");
  }
  // Filled in place before anyone else can see it.
  nb::bytes bytes =
      nb::steal<nb::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text.size)));
  if (!bytes.is_valid()) throw nb::python_error();
  char* payload = PyBytes_AS_STRING(bytes.ptr());
  {
    nb::gil_scoped_release released;
    text.copy_to(payload);
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// The quartet distance and its normalised form (quartets.hpp): counts of the
// sets of four leaves two unrooted trees resolve differently, from each
// tree's shape, taken by tree_distances and tree_against below.
bool quartet_metric(const std::string& metric) {
  return metric == "quartet" || metric == "quartet_norm";
}

VectorTrees quartet_trees(const Engine& engine, const std::string& metric,
                          const std::vector<double>& params) {
  if (engine.saved.rooted) throw nb::value_error((metric + " is defined for unrooted trees only").c_str());
  if (!params.empty()) throw nb::value_error((metric + " takes no parameters").c_str());
  engine.require_same_taxa();
  if (engine.n_leaves() > kQuartetMaxLeaves)
    throw nb::value_error(
        (metric + " counts quartets of at most " + std::to_string(kQuartetMaxLeaves) + " leaves").c_str());
  const Snapshots& set = engine.with_clades();
  return {set.snaps, &set.clades, engine.n_leaves()};
}

void quartet_against(Engine& engine, Engine& other, const std::string& metric,
                     const std::vector<double>& params, Indices rows, Indices cols, Out out, Threads threads,
                     Progress* progress) {
  const VectorTrees mine = quartet_trees(engine, metric, params);
  const VectorTrees theirs = quartet_trees(other, metric, params);
  if (engine.set().leaf_names != other.set().leaf_names)
    throw nb::value_error("the two sets have different leaf names");
  const Block block{
      {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
  double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
  const bool normalised = metric == "quartet_norm";
  // A block whose rows are its columns counts each pair once by itself.
  run_interruptible(threads, [&] { quartet_block(mine, theirs, normalised, block, cells_out); });
}
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// The metrics computed from each tree's shape rather than from the split
// layouts (tree_vectors.hpp), with the values of their parameters in the
// order of the metric table's (cladomatic_tools.metrics): kc (lambda), path,
// wpath.  Python checks the arguments first; these checks only keep a wrong
// call from reaching the kernels.
TreeVectorMetric tree_vector_metric(const Engine& engine, const std::string& metric,
                                    const std::vector<double>& params) {
  TreeVectorMetric chosen;
  std::size_t takes = 0;
  if (metric == "kc") {
    chosen.kind = TreeVectorKind::kKc;
    takes = 1;
    if (!engine.saved.rooted) throw nb::value_error("kc is defined for rooted trees only");
  } else if (metric == "path" || metric == "wpath") {
    chosen.kind = metric == "path" ? TreeVectorKind::kPath : TreeVectorKind::kWeightedPath;
    if (engine.saved.rooted) throw nb::value_error((metric + " is defined for unrooted trees only").c_str());
  } else {
    throw nb::value_error(("unknown metric " + metric).c_str());
  }
  if (params.size() != takes) throw nb::value_error(("wrong number of parameters for " + metric).c_str());
  if (chosen.kind == TreeVectorKind::kKc) {
    chosen.lambda = params[0];
    if (!(chosen.lambda >= 0.0 && chosen.lambda <= 1.0))
      throw nb::value_error("kc's lambda must be in [0, 1]");
  }
  const bool weighted = chosen.kind == TreeVectorKind::kWeightedPath || chosen.lambda != 0.0;
  if (weighted && !engine.saved.lengths)
    throw nb::value_error("the set was read without branch lengths (lengths=False)");
  return chosen;
}

// The generalised RF distances (matching.hpp), or none for another name.
std::optional<MatchingKind> matching_kind(const std::string& metric) {
  if (metric == "cid") return MatchingKind::kCid;
  if (metric == "cid_norm") return MatchingKind::kCidNorm;
  if (metric == "pid") return MatchingKind::kPid;
  if (metric == "msid") return MatchingKind::kMsid;
  if (metric == "msd") return MatchingKind::kMsd;
  return std::nullopt;
}

void check_matching(const Engine& engine, const std::string& metric, const std::vector<double>& params) {
  if (engine.saved.rooted) throw nb::value_error((metric + " is defined for unrooted trees only").c_str());
  if (!params.empty()) throw nb::value_error(("wrong number of parameters for " + metric).c_str());
  engine.require_same_taxa();
}

// Built on first use, on the call's threads.
const SplitBits& matching_splits(Engine& engine) {
  const Snapshots& set = engine.with_clades();
  return engine.matching_splits.get([&] { return split_bits(set.snaps, set.clades, engine.n_leaves()); });
}

VectorTrees vector_trees(const Engine& engine) {
  engine.require_same_taxa();
  const Snapshots& set = engine.with_clades();
  return {set.snaps, &set.clades, engine.n_leaves()};
}

void tree_distances(Engine& engine, const std::string& metric, const std::vector<double>& params,
                    Indices rows, Indices cols, Out out, Threads threads, Progress* progress) {
  if (quartet_metric(metric))
    return quartet_against(engine, engine, metric, params, rows, cols, out, threads, progress);
  if (const std::optional<MatchingKind> kind = matching_kind(metric)) {
    const Block block{
        {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
    double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
    check_matching(engine, metric, params);
    run_interruptible(threads, [&] {
      // A block whose rows are its columns computes each pair once by itself.
      const SplitBits& splits = matching_splits(engine);
      matching_block(*kind, splits, splits, block, cells_out);
    });
    return;
  }
  const TreeVectorMetric chosen = tree_vector_metric(engine, metric, params);
  const VectorTrees trees = vector_trees(engine);
  const Block block{
      {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
  double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
  // A block whose rows are its columns computes each pair once by itself.
  run_interruptible(threads, [&] { tree_vector_block(trees, trees, chosen, block, cells_out); });
}

void tree_against(Engine& engine, Engine& other, const std::string& metric, const std::vector<double>& params,
                  Indices rows, Indices cols, Out out, Threads threads, Progress* progress) {
  if (quartet_metric(metric))
    return quartet_against(engine, other, metric, params, rows, cols, out, threads, progress);
  if (const std::optional<MatchingKind> kind = matching_kind(metric)) {
    if (engine.set().leaf_names != other.set().leaf_names)
      throw nb::value_error("the two sets have different leaf names");
    const Block block{
        {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
    double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
    check_matching(engine, metric, params);
    check_matching(other, metric, params);
    run_interruptible(threads, [&] {
      const SplitBits& mine = matching_splits(engine);
      matching_block(*kind, mine, matching_splits(other), block, cells_out);
    });
    return;
  }
  const TreeVectorMetric chosen = tree_vector_metric(engine, metric, params);
  tree_vector_metric(other, metric, params);
  if (engine.set().leaf_names != other.set().leaf_names)
    throw nb::value_error("the two sets have different leaf names");
  const VectorTrees mine = vector_trees(engine);
  const VectorTrees theirs = vector_trees(other);
  const Block block{
      {rows.data(), rows.shape(0)}, {cols.data(), cols.shape(0)}, started(progress, rows.shape(0))};
  double* cells_out = cells<double>(out, block.rows.size(), block.cols.size());
  run_interruptible(threads, [&] { tree_vector_block(mine, theirs, chosen, block, cells_out); });
}
// ---------------------------------------------------------------------------

// Conditional clade distributions (summaries/ccd.hpp): the graph is built
// once per set, each distribution's tables once on first use.

CcdKind ccd_kind(const std::string& kind) {
  if (kind == "ccd1") return CcdKind::kCcd1;
  if (kind == "ccd0") return CcdKind::kCcd0;
  throw nb::value_error(("kind must be 'ccd1' or 'ccd0', not '" + kind + "'").c_str());
}

void require_rooted_set(const Engine& engine) {
  if (!engine.saved.rooted)
    throw nb::value_error("conditional clade distributions need rooted trees: read the set with rooted=True");
  engine.require_same_taxa();
  if (engine.n_leaves() < 2) throw nb::value_error("conditional clade distributions need at least two taxa");
}

struct Ccd {
  const CcdGraph* graph = nullptr;
  const CcdTables* tables[2] = {nullptr, nullptr};  // by CcdKind
};

// The graph and both distributions' tables, built with the lock released;
// ValueError (with tree_index) for a tree that is not binary.
Ccd ccd_of(Engine& engine, Threads threads, Progress* progress) {
  require_rooted_set(engine);
  const CcdBuilt* built = nullptr;
  Ccd ccd;
  RowCounter* trees_done = started(progress, engine.n_trees());
  const Snapshots& set = engine.with_clades();
  run_interruptible(threads, [&] {
    built = &engine.ccd.get([&] {
      Result<CcdGraph> graph = ccd_graph(set, trees_done);
      return graph ? CcdBuilt{std::move(graph).value(), std::nullopt}
                   : CcdBuilt{{}, std::move(graph).take_error()};
    });
    if (built->error) return;
    ccd.graph = &built->graph;
    for (CcdKind kind : {CcdKind::kCcd1, CcdKind::kCcd0}) {
      const auto at = static_cast<std::size_t>(kind);
      ccd.tables[at] = &engine.ccd_tables[at].get([&] { return ccd_tables(built->graph, kind); });
    }
  });
  if (built->error) raise_failure(Error{*built->error});
  return ccd;
}

// The MAP tree as (parent, split) arrays in preorder, then its log
// probability under CCD1 and CCD0 and the log of the number of trees each holds.
nb::tuple ccd_map(Engine& engine, const std::string& kind, Threads threads, Progress* progress) {
  const CcdKind wanted = ccd_kind(kind);
  const Ccd ccd = ccd_of(engine, threads, progress);
  const CcdTables& ccd1 = *ccd.tables[static_cast<std::size_t>(CcdKind::kCcd1)];
  const CcdTables& ccd0 = *ccd.tables[static_cast<std::size_t>(CcdKind::kCcd0)];
  Shape shape;
  double log1 = 0.0;
  double log0 = 0.0;
  const CladeTable& clades = engine.with_clades().clades;
  {
    nb::gil_scoped_release released;
    const std::vector<CcdSplit> nodes =
        ccd_map_nodes(*ccd.graph, *ccd.tables[static_cast<std::size_t>(wanted)]);
    std::vector<SplitId> ids;
    for (const CcdSplit& node : nodes)
      if (node.parent != ccd.graph->root) ids.push_back(node.parent);
    shape = shape_of(clades, ids, engine.n_leaves());
    log1 = ccd_log_probability(*ccd.graph, ccd1, nodes);
    log0 = ccd_log_probability(*ccd.graph, ccd0, nodes);
  }
  nb::tuple arrays = shape_arrays(std::move(shape));
  return nb::make_tuple(arrays[0], arrays[1], log1, log0, ccd1.log_trees[ccd.graph->root],
                        ccd0.log_trees[ccd.graph->root]);
}

// The log probability of tree `tree` of `other` (same taxa, rooted) under
// this set's distribution; ValueError for a tree that is not binary.
double ccd_log_probability_of(Engine& engine, const Engine& other, std::uint32_t tree,
                              const std::string& kind, Threads threads) {
  const CcdKind wanted = ccd_kind(kind);
  if (!other.saved.rooted) throw nb::value_error("the tree must be read as rooted");
  other.require_same_taxa();
  if (engine.set().leaf_names != other.set().leaf_names)
    throw nb::value_error("the tree and the set have different leaf names");
  if (tree >= other.n_trees()) throw nb::index_error("tree index out of range");
  const Ccd ccd = ccd_of(engine, threads, nullptr);
  std::optional<std::vector<CcdSplit>> nodes;
  const Snapshots& theirs = other.with_clades();
  const CladeTable& mine = engine.with_clades().clades;
  {
    nb::gil_scoped_release released;
    std::vector<CladeId> ids = join_rows(theirs.clades, mine);
    for (CladeId& id : ids)
      if (id >= ccd.graph->root) id = kNoClade;
    nodes = tree_nodes(theirs.clades, theirs.snaps[tree], other.n_leaves(), ccd.graph->root, ids);
  }
  if (!nodes) throw nb::value_error("the tree is not binary: a node has more than two children");
  return ccd_log_probability(*ccd.graph, *ccd.tables[static_cast<std::size_t>(wanted)], *nodes);
}

}  // namespace
}  // namespace cladomatic

NB_MODULE(_cladomatic_engine, m) {
  using namespace cladomatic;
  using namespace nb::literals;
  m.doc() = "The interned tree set behind cladomatic_tools.TreeSet.";
  PyObject* internal_failure = internal_failure_type();
  if (!internal_failure) throw nb::python_error();
  m.attr("InvariantFailure") = nb::borrow(internal_failure);
  nb::register_exception_translator([](const std::exception_ptr& thrown, void*) {
    try {
      std::rethrow_exception(thrown);
    } catch (const InvariantFailure& failure) {
      raise(failure);
    }
  });
  m.def("format_rows", &format_rows_, "names"_a, "values"_a.noconvert(), "delimiter"_a,
        "Lines of delimited text, one per name: the name (quoted only when it must be), then its row of\n"
        "values (uint32, or float64 in the shortest form that reads back to the same bits).");
  m.def("stop_every_call", &stop_every_call,
        "Ends every long call of this module, on any thread, running now or started later, with\n"
        "KeyboardInterrupt, for a process on its way out: only the main thread sees Ctrl-C, and calls on\n"
        "other threads would otherwise run to their end first.  There is no undoing it.");
  bind_reading(m);
  bind_annotation(m);
  nb::class_<Progress>(m, "Progress",
                       "Rows of a block (trees of a pass over the set) finished so far: a call given one\n"
                       "(progress=) starts it at 0 of its rows and counts rows as they are finished, while\n"
                       "another thread polls it.")
      .def(nb::init<>())
      .def("value", [](const Progress& progress) { return progress.done.load(std::memory_order_relaxed); })
      .def("total", [](const Progress& progress) { return progress.total.load(std::memory_order_relaxed); })
      .def("fraction", [](const Progress& progress) {
        const std::uint64_t total = progress.total.load(std::memory_order_relaxed);
        const std::uint64_t done = progress.done.load(std::memory_order_relaxed);
        return total == 0 ? 0.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
      });
  nb::class_<Engine>(
      m, "Engine",
      "One interned tree set.  Every long call takes `threads`, 0 for as many as the CPUs the\n"
      "process may use; called from the main thread, it raises what a signal handler raised\n"
      "(KeyboardInterrupt for Ctrl-C) within a fraction of a second, its output then garbage.")
      .def_static("build", &build, "items"_a, "translate"_a.none(), "rooted"_a, "lengths"_a, "any_taxa"_a,
                  "threads"_a = 0, nb::rv_policy::take_ownership)
      .def_static("build_from", &build_from, "reading"_a, "rooted"_a, "lengths"_a, "any_taxa"_a,
                  "threads"_a = 0, nb::rv_policy::take_ownership)
      .def_static("load", &load, "data"_a, nb::rv_policy::take_ownership)
      .def("save", &save)
      .def_prop_ro("n_trees", &Engine::n_trees)
      .def_prop_ro("n_leaves", &Engine::n_leaves)
      .def_prop_ro("n_splits", &n_splits)
      .def_prop_ro("n_ids", [](const Engine& engine) { return engine.set().freq.size(); })
      .def_prop_ro("leaf_names", [](const Engine& engine) { return engine.set().leaf_names; })
      .def_prop_ro("rooted", [](const Engine& engine) { return engine.saved.rooted; })
      .def_prop_ro("lengths", [](const Engine& engine) { return engine.saved.lengths; })
      .def_prop_ro("differing_taxa", [](const Engine& engine) { return !engine.set().taxa.empty(); })
      .def("tree_taxa", &tree_taxa, "tree"_a)
      .def_prop_ro("differing_tree", &differing_tree)
      .def("common_taxa", [](const Engine& engine) { return common_taxa(engine.set()); })
      .def("restricted", &restricted_to, "keep"_a, nb::rv_policy::take_ownership)
      .def("distances", &distances, "metric"_a, "rows"_a.noconvert(), "cols"_a.noconvert(),
           "out"_a.noconvert(), "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("against", &against, "other"_a, "metric"_a, "rows"_a.noconvert(), "cols"_a.noconvert(),
           "out"_a.noconvert(), "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("pruned_distances", &pruned_distances, "metric"_a, "rows"_a.noconvert(), "cols"_a.noconvert(),
           "out"_a.noconvert(), "threads"_a = 0)
      .def("pruned_against", &pruned_against, "other"_a, "metric"_a, "rows"_a.noconvert(),
           "cols"_a.noconvert(), "out"_a.noconvert(), "threads"_a = 0)
      .def("sums", &sums, "metric"_a, "out"_a.noconvert(), "threads"_a = 0)
      .def("split_sides", &split_sides, "out"_a.noconvert())
      .def("group_counts", &group_counts_, "groups"_a.noconvert(), "out"_a.noconvert(), "threads"_a = 0)
      .def("consensus", &consensus, "min_count"_a, "greedy"_a, "threads"_a = 0)
      .def("tree_shape", &tree_shape, "tree"_a)
      .def("split_summary", &split_summary, "ids"_a.noconvert(), "groups"_a.noconvert(), "n_groups"_a,
           "spread"_a, "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("split_heights", &split_heights, "ids"_a.noconvert(), "threads"_a = 0)
      .def("ids_in", &ids_in, "other"_a)
      .def("mcc", &mcc, "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("topology_ids", &topology_ids, "out"_a.noconvert(), "threads"_a = 0)
      .def("exports", &exports, "lengths"_a, "threads"_a = 0)
      .def_prop_ro("any_length", &any_length)
      .def("ccd_map", &ccd_map, "kind"_a, "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("ccd_log_probability", &ccd_log_probability_of, "other"_a, "tree"_a, "kind"_a, "threads"_a = 0)
      // The metrics from each tree's shape (tree_vectors.hpp), with their parameters' values
      .def("tree_distances", &tree_distances, "metric"_a, "params"_a, "rows"_a.noconvert(),
           "cols"_a.noconvert(), "out"_a.noconvert(), "threads"_a = 0, "progress"_a.none() = nb::none())
      .def("tree_against", &tree_against, "other"_a, "metric"_a, "params"_a, "rows"_a.noconvert(),
           "cols"_a.noconvert(), "out"_a.noconvert(), "threads"_a = 0, "progress"_a.none() = nb::none());
}
