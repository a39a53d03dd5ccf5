#include "input.hpp"

#include <format>

namespace cladomatic {

std::optional<Error> validate_iter_args(std::span<const std::string> names,
                                        std::span<const std::uint64_t> map_indices,
                                        std::span<const TranslateMap> translate_maps) {
  if (names.size() < 2) return Error{"Need at least 2 trees to compute pairwise distances"};
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

}  // namespace cladomatic
