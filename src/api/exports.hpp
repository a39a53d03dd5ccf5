// The result tuple of the export variants, its buffers written straight into
// the payloads of new bytes objects: the exports can be far larger than the
// distance matrix, so they are never held twice.
#pragma once

#include <span>
#include <string>

#include "pyref.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {

enum class SplitMatrix { presence, branch_lengths };

// (tree_names, matrix, leaf_names, n_bip, presence or branch-length bytes,
// bipartition_clade_bytes); the set is released before returning.  Empty with
// an exception set on failure.
PyRef export_tuple(std::span<const std::string> tree_names, PyRef matrix, Snapshots&& set, SplitMatrix kind);

}  // namespace cladomatic
