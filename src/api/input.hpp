// From the converted arguments to the tree set: the checks that need no tree,
// and the lazy source over the Python iterator that the pipeline pulls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "snapshot/newick.hpp"
#include "snapshot/result.hpp"

namespace cladomatic {

// Counts and map indices only; never touches the iterator.
std::optional<Error> validate_iter_args(std::span<const std::string> names,
                                        std::span<const std::uint64_t> map_indices,
                                        std::span<const TranslateMap> translate_maps);

}  // namespace cladomatic
