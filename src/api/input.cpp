#include "input.hpp"

#include <format>
#include <utility>

#include "iterator_source.hpp"

namespace cladomatic {

namespace {

constexpr const char too_few_trees[] = "Need at least 2 trees to compute pairwise distances";

}  // namespace

std::optional<Error> validate_iter_args(std::span<const std::string> names,
                                        std::span<const std::uint64_t> map_indices,
                                        std::span<const TranslateMap> translate_maps) {
  if (names.size() < 2) return Error{too_few_trees};
  if (names.size() != map_indices.size()) {
    return Error{std::format("names length ({}) must equal map_indices length ({})", names.size(),
                             map_indices.size())};
  }
  for (std::size_t i = 0; i < map_indices.size(); ++i) {
    if (map_indices[i] >= translate_maps.size()) {
      return Error{std::format("map_indices[{}] = {} is out of bounds (only {} translate maps provided)", i,
                               map_indices[i], translate_maps.size())};
    }
  }
  return std::nullopt;
}

std::variant<Snapshots, Failure> collect_snapshots_from_iter(PyRef newick_iter,
                                                             std::span<const TranslateMap> translate_maps,
                                                             std::span<const std::uint64_t> map_indices,
                                                             const PipelineOptions& options) {
  PyRef recorded;
  Result<Snapshots> built = [&] {
    // The source, and its reference to the iterator, end here.
    IteratorSource source(std::move(newick_iter), "newick_iter", map_indices, translate_maps);
    Result<Snapshots> result = from_newick_iter_opts(source, options);
    recorded = source.take_recorded();
    return result;
  }();
  if (recorded) return Failure(std::move(recorded));
  if (!built) return Failure(std::move(built).take_error());
  if (built.value().snaps.size() < 2) return Failure(Error{too_few_trees});
  return std::move(built).value();
}

std::optional<Snapshots> read_tree_set(CallArgs& call, bool weighted, bool keep_clades) {
  if (auto error = validate_iter_args(call.names, call.map_indices, call.translate_maps)) {
    raise(std::move(*error));
    return std::nullopt;
  }
  auto collected =
      collect_snapshots_from_iter(std::move(call.newick_iter), call.translate_maps, call.map_indices,
                                  {.rooted = call.rooted, .weighted = weighted, .keep_clades = keep_clades});
  if (auto* failure = std::get_if<Failure>(&collected)) {
    raise(std::move(*failure));
    return std::nullopt;
  }
  return std::move(std::get<Snapshots>(collected));
}

}  // namespace cladomatic
