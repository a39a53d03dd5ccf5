#include "rf.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include "distances/rf.hpp"
#include "docs.hpp"
#include "exports.hpp"
#include "frame.hpp"
#include "input.hpp"
#include "matrix_bytes.hpp"
#include "progress.hpp"
#include "results.hpp"

namespace cladomatic {

namespace {

PyRef rf_matrix(CallArgs&& call) {
  std::optional<Snapshots> set = read_tree_set(call, false, false);
  if (!set) return PyRef();
  PyRef matrix = matrix_bytes(set->snaps.size(), sizeof(std::uint32_t), std::move(call.progress),
                              [&](PairCounter* counter, std::span<std::byte> out) {
                                distance_rf(Input::owning(std::move(*set)), counter, out);
                              });
  if (!matrix) return matrix;
  return tuple_of(string_list(call.names), std::move(matrix));
}

PyRef rf_matrix_with_snapshots(CallArgs&& call) {
  std::optional<Snapshots> set = read_tree_set(call, false, true);
  if (!set) return PyRef();
  // The set stays whole for the exports.
  PyRef matrix = matrix_bytes(set->snaps.size(), sizeof(std::uint32_t), std::move(call.progress),
                              [&](PairCounter* counter, std::span<std::byte> out) {
                                distance_rf(Input::borrowing(*set), counter, out);
                              });
  if (!matrix) return matrix;
  return export_tuple(call.names, std::move(matrix), std::move(*set), SplitMatrix::presence);
}

}  // namespace

const char pairwise_rf_from_newick_iter_doc[] = CLADOMATIC_SIGNATURE("pairwise_rf_from_newick_iter")
    "Compute pairwise Robinson-Foulds distances from a lazy Python iterator of newick strings.\n\n"
    "Trees are pulled from the iterator one batch at a time, and each batch is parsed before the\n"
    "next is pulled, so at most one batch of newick strings is held in memory. Each string is\n"
    "paired with the entry of map_indices at the same position; reading stops after\n"
    "len(map_indices) strings, and the iterator is never advanced past the last one used, so\n"
    "one iterator can feed several calls in turn.\n\n"
    "Args:\n"
    "    names: Tree identifiers, one per newick string.\n"
    "    newick_iter: Python iterator yielding newick strings.\n"
    "    translate_maps: List of translate maps from number to taxon name.\n"
    "    map_indices: Per-tree index into translate_maps.\n"
    "    rooted: If true compare clades, otherwise bipartitions.\n"
    "    progress: Optional cladomatic.ProgressCounter. The call (a) resets it and sets its total\n"
    "        to n*(n-1)/2 at entry of the pairwise loop, (b) atomically increments it as worker\n"
    "        threads finish rows, and (c) releases the interpreter lock for the duration of the\n"
    "        pairwise loop, so that another Python thread can poll it; when the call returns,\n"
    "        value() equals total(). With None the call has zero progress-related overhead and\n"
    "        keeps the interpreter lock throughout.\n\n"
    "Returns:\n"
    "    (tree_names, rf_matrix_bytes). tree_names is names, unchanged.\n"
    "    rf_matrix_bytes is flat u32 bytes (row-major n×n).\n"
    "    It is little-endian, n being the number of trees read:\n\n"
    "        np.frombuffer(rf_matrix_bytes, dtype='<u4').reshape(n, n)\n\n"
    CLADOMATIC_RAISES_DOC;

const char pairwise_rf_with_snapshots_from_newick_iter_doc[] =
    CLADOMATIC_SIGNATURE("pairwise_rf_with_snapshots_from_newick_iter")
    "Compute pairwise RF distances and export binary tree snapshots in a single pass.\n\n"
    "Each newick string is parsed once; the matrix and the exports come from the same tree set.\n\n"
    CLADOMATIC_ARGS_DOC
    "Returns:\n"
    "    (tree_names, rf_matrix_bytes, leaf_names, n_bipartitions, presence_bytes,\n"
    "    bipartition_clade_bytes). rf_matrix_bytes is flat u32 bytes (row-major n×n), as for\n"
    "    pairwise_rf_from_newick_iter. leaf_names is the taxon order of the bipartition bits\n"
    "    (byte-wise sorted names of tree 0). n_bipartitions (n_bip) counts every distinct split\n"
    "    of the tree set, pendant edges included.\n\n"
    "presence_bytes is an n_trees × n_bip uint8 matrix, row-major: entry (i, j) is 1 when tree i\n"
    "holds the split of column j, else 0; pendant columns are 1 in every row:\n\n"
    "    presence = np.frombuffer(presence_bytes, dtype=np.uint8).reshape(n_trees, n_bip)\n\n"
    CLADOMATIC_BIPARTITION_DOC
    CLADOMATIC_RAISES_DOC;

PyObject* pairwise_rf_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  return call_frame("pairwise_rf_from_newick_iter", args, nargs, kwnames, rf_matrix);
}

PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) noexcept {
  return call_frame("pairwise_rf_with_snapshots_from_newick_iter", args, nargs, kwnames,
                    rf_matrix_with_snapshots);
}

}  // namespace cladomatic
