// The annotating pass for cladomatic_tools: the selected trees of a reading
// walked with their node values, gathered onto a target tree's clades.
#include "annotate.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/convert.hpp"
#include "api/failure.hpp"
#include "interruptible.hpp"
#include "primitives/row_progress.hpp"
#include "reading.hpp"
#include "snapshot/newick.hpp"
#include "summaries/annotate.hpp"

namespace nb = nanobind;

namespace cladomatic {
namespace {

[[noreturn]] void raise_error(Error&& error) {
  raise(Failure(std::move(error)));
  throw nb::python_error();
}

using Summaries = std::vector<std::optional<ValueSummary>>;

nb::object summary_of(const std::optional<ValueSummary>& s) {
  if (!s) return nb::none();
  return nb::make_tuple(s->mean, s->median, s->hpd_low, s->hpd_high, s->low, s->high);
}

bool is_discrete(const Trait& trait) {
  return std::any_of(trait.texts.begin(), trait.texts.end(), [](const auto& seen) { return !seen.empty(); });
}

class TargetAnnotation {
 public:
  // `leaf_names`: the sample's taxa, sorted as a tree set sorts them.
  TargetAnnotation(std::vector<std::string> leaf_names, std::string_view target, nb::object translate)
      : names_(std::move(leaf_names)), context_(make_snapshot_context(names_, true)) {
    TranslateMap table;
    if (!translate.is_none() && convert_translate_map(translate.ptr(), table) < 0) throw nb::python_error();
    Result<TimedTree> tree = timed_tree(target, table, 0, context_, false);
    if (!tree) raise_error(std::move(tree).take_error());
    annotation_.emplace(std::move(tree).value());
  }

  // Reads the reading's trees through; false when a fault of the input ended
  // it (the reading's `error` says which).  Trees are parsed a chunk at a
  // time in parallel and added in their order, so the values are the same
  // whatever the thread count.
  bool read(nb::handle reading, bool attributes, bool common_ancestors, Threads threads) {
    TreeSource& source = tree_source(reading);
    std::optional<Error> failed;
    run_interruptible(threads, [&] {
      constexpr std::size_t kChunk = 256;  // trees: their texts and parsed forms, a few MB at most
      static const TranslateMap kNone;
      std::vector<SourceTree> chunk;
      std::vector<std::optional<Result<TimedTree>>> parsed(kChunk);
      std::uint64_t first = 0;
      while (!failed && !stop_requested()) {
        chunk.clear();
        while (chunk.size() < kChunk) {
          std::optional<SourceTree> tree = source.next();
          if (!tree) break;
          chunk.push_back(std::move(*tree));
        }
        if (chunk.empty()) break;
        tbb::parallel_for(std::size_t{0}, chunk.size(), [&](std::size_t k) {
          const SourceTree& tree = chunk[k];
          parsed[k].emplace(
              timed_tree(tree.text, tree.map ? *tree.map : kNone, first + k, context_, attributes));
        });
        for (std::size_t k = 0; k < chunk.size(); ++k) {
          Result<TimedTree>& timed = *parsed[k];
          if (!timed) {
            failed = std::move(timed).take_error();
            failed->tree_index = first + k;
            source.rejected(first + k, std::move(chunk[k]));
            break;
          }
          annotation_->add(timed.value(), common_ancestors);
        }
        first += chunk.size();
      }
    });
    const bool well = reading_went_well(reading);
    if (failed && well) raise_error(std::move(*failed));
    if (well) summarise_all(threads);
    return well;
  }

  // Per target node, children before parents: parent, leaf, trees holding
  // its clade, its own height and branch length, the summaries of its heights and lengths
  // (None where no tree holds it) and its common ancestors' mean height.
  nb::list nodes() {
    Annotation& a = *annotation_;
    nb::list out;
    const double trees = static_cast<double>(a.trees());
    for (std::size_t k = 0; k < a.counts.size(); ++k) {
      const TimedNode& node = a.target().nodes[k];
      out.append(nb::make_tuple(node.parent, node.leaf, a.counts[k], node.height, node.length,
                                summary_of(heights_[k]), summary_of(lengths_[k]),
                                a.ancestor_heights[k] / trees));
    }
    return out;
  }

  // Per attribute: its name, whether some value was a list, and per target
  // node the summary of its numbers (the numbers themselves for an attribute
  // that also has texts, which makes it discrete) and its texts with their
  // counts.
  nb::list traits() {
    nb::list out;
    for (std::size_t t = 0; t < annotation_->traits.size(); ++t) {
      const Trait& trait = annotation_->traits[t];
      const bool discrete = is_discrete(trait);
      nb::list numbers, texts;
      for (std::size_t k = 0; k < trait.numbers.size(); ++k) {
        if (discrete) {
          numbers.append(nb::cast(trait.numbers[k]));
        } else {
          numbers.append(summary_of(traits_[t][k]));
        }
        nb::list counted;
        for (const auto& [text, count] : trait.texts[k]) counted.append(nb::make_tuple(text, count));
        texts.append(counted);
      }
      out.append(nb::make_tuple(trait.name, trait.lists, numbers, texts));
    }
    return out;
  }

  std::uint64_t trees() const { return annotation_->trees(); }

 private:
  // Every set of numbers summarised once, each sorted in place, in parallel
  // (the sets are independent, so the results do not depend on the threads).
  void summarise_all(Threads threads) {
    Annotation& a = *annotation_;
    const std::size_t nodes = a.counts.size();
    heights_.assign(nodes, std::nullopt);
    lengths_.assign(nodes, std::nullopt);
    traits_.assign(a.traits.size(), Summaries(nodes));
    std::vector<std::pair<std::vector<double>*, std::optional<ValueSummary>*>> jobs;
    for (std::size_t k = 0; k < nodes; ++k) {
      jobs.emplace_back(&a.heights[k], &heights_[k]);
      jobs.emplace_back(&a.lengths[k], &lengths_[k]);
    }
    for (std::size_t t = 0; t < a.traits.size(); ++t) {
      if (is_discrete(a.traits[t])) continue;
      for (std::size_t k = 0; k < nodes; ++k) jobs.emplace_back(&a.traits[t].numbers[k], &traits_[t][k]);
    }
    run_interruptible(threads, [&] {
      tbb::parallel_for(std::size_t{0}, jobs.size(), [&](std::size_t j) {
        if (!jobs[j].first->empty()) *jobs[j].second = summarise(*jobs[j].first);
      });
    });
  }

  Summaries heights_, lengths_;
  std::vector<Summaries> traits_;
  std::vector<std::string> names_;  // the context views them
  SnapshotContext context_;
  std::optional<Annotation> annotation_;
};

}  // namespace

void bind_annotation(nb::module_& m) {
  using namespace nb::literals;
  nb::class_<TargetAnnotation>(m, "TargetAnnotation")
      .def(nb::init<std::vector<std::string>, std::string_view, nb::object>(), "leaf_names"_a, "target"_a,
           "translate"_a.none())
      .def("read", &TargetAnnotation::read, "reading"_a, "attributes"_a, "common_ancestors"_a,
           "threads"_a = 0)
      .def("nodes", &TargetAnnotation::nodes)
      .def("traits", &TargetAnnotation::traits)
      .def_prop_ro("trees", &TargetAnnotation::trees);
}

}  // namespace cladomatic
