// From the converted arguments to the tree set: the checks that need no tree,
// and the lazy source over the Python iterator that the pipeline pulls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

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

// Pairs the k-th item of the iterator with the k-th map index.  Reading stops
// for good at the first of: the iterator's end, the end of the map indices
// (the iterator is then not advanced again), an exception of the iterator, an
// item that is not a str.  Only the last two are recorded, and only the first
// failure ever is.  Runs Python code: the pipeline must pull it on the
// calling thread with the lock held.
class IteratorSource final : public TreeSource {
 public:
  // The map indices must be in range of `translate_maps` (validated).
  IteratorSource(PyRef iterator, std::span<const std::uint64_t> map_indices,
                 std::span<const TranslateMap> translate_maps) noexcept;

  std::optional<SourceTree> next() override;

  // The exception that ended reading, if one did.
  PyRef take_recorded() noexcept { return std::move(recorded_); }

 private:
  std::optional<SourceTree> end() noexcept;

  PyRef iterator_;
  std::span<const std::uint64_t> map_indices_;
  std::size_t cursor_ = 0;
  std::span<const TranslateMap> translate_maps_;
  PyRef recorded_;
  bool ended_ = false;
};

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
