#include "tree_set.hpp"

#include <utility>

#include "snapshot/export.hpp"

namespace cladomatic {

namespace {

SetExports exports(Snapshots&& set, ExportMatrix (*build_matrix)(const Snapshots&)) {
  Snapshots whole = std::move(set);
  ExportMatrix matrix = build_matrix(whole);
  std::vector<std::uint8_t> clade_bytes = build_bipartition_bytes(whole, matrix.columns);
  return {std::move(whole.leaf_names), whole.freq.size(), std::move(matrix.bytes), std::move(clade_bytes)};
}

}  // namespace

Input owning_input(Snapshots&& set) {
  Snapshots whole = std::move(set);
  return Input::owning(std::move(whole));
}

SetExports presence_exports(Snapshots&& set) {
  return exports(std::move(set), build_presence_matrix);
}

SetExports branch_length_exports(Snapshots&& set) {
  return exports(std::move(set), build_branch_length_matrix);
}

}  // namespace cladomatic
