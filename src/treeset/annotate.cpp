// The annotating pass for cladomatic_tools: the selected trees of a reading
// walked with their node values, gathered onto a target tree's clades.
#include "annotate.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/convert.hpp"
#include "api/failure.hpp"
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

nb::object summary_of(std::vector<double>& values) {
  if (values.empty()) return nb::none();
  ValueSummary s = summarise(values);
  return nb::make_tuple(s.mean, s.median, s.hpd_low, s.hpd_high, s.low, s.high);
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
  // it (the reading's `error` says which).
  bool read(nb::handle reading, bool attributes, bool common_ancestors) {
    TreeSource& source = tree_source(reading);
    std::optional<Error> failed;
    {
      nb::gil_scoped_release released;
      std::uint64_t index = 0;
      while (std::optional<SourceTree> tree = source.next()) {
        static const TranslateMap kNone;
        Result<TimedTree> timed =
            timed_tree(tree->text, tree->map ? *tree->map : kNone, index, context_, attributes);
        if (!timed) {
          Error error = std::move(timed).take_error();
          error.tree_index = index;
          source.rejected(index, std::move(*tree));
          failed = std::move(error);
          break;
        }
        annotation_->add(timed.value(), common_ancestors);
        ++index;
      }
    }
    const bool well = reading_went_well(reading);
    if (failed && well) raise_error(std::move(*failed));
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
                                summary_of(a.heights[k]), summary_of(a.lengths[k]),
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
    for (Trait& trait : annotation_->traits) {
      const bool discrete =
          std::any_of(trait.texts.begin(), trait.texts.end(), [](const auto& seen) { return !seen.empty(); });
      nb::list numbers, texts;
      for (std::size_t k = 0; k < trait.numbers.size(); ++k) {
        if (discrete) {
          numbers.append(nb::cast(trait.numbers[k]));
        } else {
          numbers.append(summary_of(trait.numbers[k]));
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
      .def("read", &TargetAnnotation::read, "reading"_a, "attributes"_a, "common_ancestors"_a)
      .def("nodes", &TargetAnnotation::nodes)
      .def("traits", &TargetAnnotation::traits)
      .def_prop_ro("trees", &TargetAnnotation::trees);
}

}  // namespace cladomatic
