// From the converted arguments to the tree set: the checks that need no tree,
// then the pipeline over the Python iterator (see iterator_source.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "failure.hpp"
#include "frame.hpp"
#include "pyref.hpp"
#include "snapshot/newick.hpp"
#include "snapshot/result.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {

// Counts and map indices only; never touches the iterator.
std::optional<Error> validate_iter_args(std::span<const std::string> names,
                                        std::span<const std::uint64_t> map_indices,
                                        std::span<const TranslateMap> translate_maps);

// A recorded Python exception outranks the pipeline's own message, which
// outranks too few trees: the iterator's fault is the cause whenever reading
// ended on one.
std::variant<Snapshots, Failure> collect_snapshots_from_iter(PyRef newick_iter,
                                                             std::span<const TranslateMap> translate_maps,
                                                             std::span<const std::uint64_t> map_indices,
                                                             const PipelineOptions& options);

// What every entry point does first: validation, then collection.  Nothing
// when either fails, with the exception set.
std::optional<Snapshots> read_tree_set(CallArgs& call, bool weighted, bool keep_clades);

}  // namespace cladomatic
