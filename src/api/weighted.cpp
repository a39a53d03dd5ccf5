#include "weighted.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "arena_reserve.hpp"
#include "distances/weighted.hpp"
#include "docs.hpp"
#include "exports.hpp"
#include "frame.hpp"
#include "input.hpp"
#include "matrix_bytes.hpp"
#include "progress.hpp"
#include "results.hpp"

#define CLADOMATIC_BRANCH_LENGTH_DOC                                                              \
  "branch_length_bytes is an n_trees × n_bip float64 matrix, row-major, little-endian: entry\n"   \
  "(i, j) is the length of edge j in tree i, or 0.0 when tree i lacks it; pendant (leaf) edges\n" \
  "are present in every tree. Its column order matches bipartition_clade_bytes and is stable\n"   \
  "across calls:\n\n"                                                                             \
  "    lengths = np.frombuffer(branch_length_bytes, dtype='<f8').reshape(n_trees, n_bip)\n"       \
  "    wrf_trace = np.abs(lengths - lengths[ref]).sum(axis=1)\n"                                  \
  "    kf_trace = np.sqrt(((lengths - lengths[ref]) ** 2).sum(axis=1))\n\n"

namespace cladomatic {

namespace {

using BytesMetric = void (*)(Input&&, PairCounter*, std::span<std::byte>, Fill);

PyRef weighted_pairwise(CallArgs&& call, BytesMetric metric) {
  std::optional<Snapshots> set = read_tree_set(call, true, false);
  if (!set) return PyRef();
  const std::size_t n = set->snaps.size();
  FloatListStorage matrix = float_list_storage(n);
  if (!matrix) return PyRef();
  const std::span<double> values(matrix.get(), n * n);
  const bool reservable = arenas_reservable();
  std::size_t floats = 0;
  with_counter(std::move(call.progress), pair_count(n), [&](PairCounter* counter) {
    // The list reads the upper triangle alone, (j, i) sharing (i, j)'s float.
    metric(Input::owning(std::move(*set)), counter, std::as_writable_bytes(values), Fill::upper);
    if (reservable) floats = symmetric_float_count(values.data(), n);
  });
  ArenaReserve reserve = ArenaReserve::taken(floats, sizeof(PyFloatObject));
  PyRef list;
  {
    ArenasFromReserve arenas(reserve);
    list = symmetric_float_list(std::move(matrix), n);
  }
  return tuple_of(string_list(call.names), std::move(list));
}

PyRef weighted_pairwise_with_snapshots(CallArgs&& call, BytesMetric metric) {
  std::optional<Snapshots> set = read_tree_set(call, true, true);
  if (!set) return PyRef();
  // The set stays whole for the exports.
  PyRef matrix = matrix_bytes(set->snaps.size(), sizeof(double), std::move(call.progress),
                              [&](PairCounter* counter, std::span<std::byte> out) {
                                metric(Input::borrowing(*set), counter, out, Fill::whole);
                              });
  if (!matrix) return matrix;
  return export_tuple(call.names, std::move(matrix), std::move(*set), SplitMatrix::branch_lengths);
}

PyRef wrf_matrix(CallArgs&& call) {
  return weighted_pairwise(std::move(call), distance_wrf);
}
PyRef kf_matrix(CallArgs&& call) {
  return weighted_pairwise(std::move(call), distance_kf);
}
PyRef wrf_matrix_with_snapshots(CallArgs&& call) {
  return weighted_pairwise_with_snapshots(std::move(call), distance_wrf);
}
PyRef kf_matrix_with_snapshots(CallArgs&& call) {
  return weighted_pairwise_with_snapshots(std::move(call), distance_kf);
}

}  // namespace

const char pairwise_wrf_with_snapshots_from_newick_iter_doc[] =
    CLADOMATIC_SIGNATURE("pairwise_wrf_with_snapshots_from_newick_iter")
    "Compute pairwise WRF distances and export a branch-length matrix in a single pass.\n\n"
    "The weighted Robinson-Foulds distance of two trees is the sum, over every split (pendant\n"
    "edges included), of the absolute difference of their branch lengths, 0 for a split a tree\n"
    "lacks. Each newick string is parsed once; the matrix and the exports come from the same\n"
    "tree set.\n\n"
    CLADOMATIC_ARGS_DOC
    "Returns:\n"
    "    (tree_names, wrf_matrix_bytes, leaf_names, n_bip, branch_length_bytes,\n"
    "    bipartition_clade_bytes). wrf_matrix_bytes is flat float64 bytes (row-major n×n).\n"
    "    They are little-endian, n being the number of trees read. leaf_names is the taxon order\n"
    "    of the bipartition bits; n_bip counts every distinct split, pendant edges included.\n\n"
    CLADOMATIC_BRANCH_LENGTH_DOC
    CLADOMATIC_BIPARTITION_DOC
    CLADOMATIC_RAISES_DOC;

const char pairwise_kf_with_snapshots_from_newick_iter_doc[] =
    CLADOMATIC_SIGNATURE("pairwise_kf_with_snapshots_from_newick_iter")
    "Compute pairwise KF distances and export a branch-length matrix in a single pass.\n\n"
    "Identical to pairwise_wrf_with_snapshots_from_newick_iter except for the metric: the\n"
    "Kuhner-Felsenstein branch score is the square root of the sum of the squared branch-length\n"
    "differences. The branch-length matrix is metric-agnostic and the same in both.\n\n"
    CLADOMATIC_ARGS_DOC
    "Returns:\n"
    "    (tree_names, kf_matrix_bytes, leaf_names, n_bip, branch_length_bytes,\n"
    "    bipartition_clade_bytes). kf_matrix_bytes is flat float64 bytes (row-major n×n).\n"
    "    They are little-endian, n being the number of trees read. leaf_names is the taxon order\n"
    "    of the bipartition bits; n_bip counts every distinct split, pendant edges included.\n\n"
    CLADOMATIC_BRANCH_LENGTH_DOC
    CLADOMATIC_BIPARTITION_DOC
    CLADOMATIC_RAISES_DOC;

const char pairwise_wrf_from_newick_iter_doc[] = CLADOMATIC_SIGNATURE("pairwise_wrf_from_newick_iter")
    "Compute pairwise Weighted Robinson-Foulds distances from a lazy Python iterator.\n\n"
    "The distance of two trees is the sum, over every split (pendant edges included), of the\n"
    "absolute difference of their branch lengths, 0 for a split a tree lacks.\n\n"
    CLADOMATIC_ARGS_DOC
    "Returns:\n"
    "    (tree_names, distance_matrix). distance_matrix is a flat list of n*n floats in\n"
    "    row-major order, n being the number of trees read: element i*n + j is entry (i, j).\n\n"
    CLADOMATIC_RAISES_DOC;

const char pairwise_kf_from_newick_iter_doc[] = CLADOMATIC_SIGNATURE("pairwise_kf_from_newick_iter")
    "Compute pairwise Kuhner-Felsenstein (Branch Score) distances from a lazy Python iterator.\n\n"
    "The distance of two trees is the square root of the sum, over every split (pendant edges\n"
    "included), of the squared difference of their branch lengths, 0 for a split a tree lacks.\n\n"
    CLADOMATIC_ARGS_DOC
    "Returns:\n"
    "    (tree_names, distance_matrix). distance_matrix is a flat list of n*n floats in\n"
    "    row-major order, n being the number of trees read: element i*n + j is entry (i, j).\n\n"
    CLADOMATIC_RAISES_DOC;

PyObject* pairwise_wrf_with_snapshots_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) noexcept {
  return call_frame("pairwise_wrf_with_snapshots_from_newick_iter", args, nargs, kwnames,
                    wrf_matrix_with_snapshots);
}

PyObject* pairwise_kf_with_snapshots_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) noexcept {
  return call_frame("pairwise_kf_with_snapshots_from_newick_iter", args, nargs, kwnames,
                    kf_matrix_with_snapshots);
}

PyObject* pairwise_wrf_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  return call_frame("pairwise_wrf_from_newick_iter", args, nargs, kwnames, wrf_matrix);
}

PyObject* pairwise_kf_from_newick_iter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  return call_frame("pairwise_kf_from_newick_iter", args, nargs, kwnames, kf_matrix);
}

}  // namespace cladomatic
