// The four branch-length module functions: weighted Robinson-Foulds and the
// Kuhner-Felsenstein branch score, each plain and with exports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cladomatic {

PyObject* pairwise_wrf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args,
                                                       Py_ssize_t nargs, PyObject* kwnames) noexcept;
extern const char pairwise_wrf_with_snapshots_from_newick_iter_doc[];

PyObject* pairwise_kf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args,
                                                      Py_ssize_t nargs, PyObject* kwnames) noexcept;
extern const char pairwise_kf_with_snapshots_from_newick_iter_doc[];

PyObject* pairwise_wrf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;
extern const char pairwise_wrf_from_newick_iter_doc[];

PyObject* pairwise_kf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept;
extern const char pairwise_kf_from_newick_iter_doc[];

}  // namespace cladomatic
