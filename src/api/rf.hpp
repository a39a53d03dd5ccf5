// The two Robinson-Foulds module functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cladomatic {

PyObject* pairwise_rf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept;
extern const char pairwise_rf_from_newick_iter_doc[];

PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args,
                                                      Py_ssize_t nargs, PyObject* kwnames) noexcept;
extern const char pairwise_rf_with_snapshots_from_newick_iter_doc[];

}  // namespace cladomatic
