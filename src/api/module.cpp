// The module definition: multi-phase initialisation, whose execution step
// registers the six functions and the counter class, in that order, each also
// appended to __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame.hpp"
#include "progress.hpp"
#include "pyref.hpp"
#include "rf.hpp"
#include "weighted.hpp"

namespace cladomatic {

namespace {

template <class Function>
PyCFunction fastcall(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

// Outlives every function object made from it.
PyMethodDef functions[] = {
    {"pairwise_rf_from_newick_iter", fastcall(pairwise_rf_from_newick_iter), fastcall_flags,
     pairwise_rf_from_newick_iter_doc},
    {"pairwise_rf_with_snapshots_from_newick_iter", fastcall(pairwise_rf_with_snapshots_from_newick_iter),
     fastcall_flags, pairwise_rf_with_snapshots_from_newick_iter_doc},
    {"pairwise_wrf_with_snapshots_from_newick_iter", fastcall(pairwise_wrf_with_snapshots_from_newick_iter),
     fastcall_flags, pairwise_wrf_with_snapshots_from_newick_iter_doc},
    {"pairwise_kf_with_snapshots_from_newick_iter", fastcall(pairwise_kf_with_snapshots_from_newick_iter),
     fastcall_flags, pairwise_kf_with_snapshots_from_newick_iter_doc},
    {"pairwise_wrf_from_newick_iter", fastcall(pairwise_wrf_from_newick_iter), fastcall_flags,
     pairwise_wrf_from_newick_iter_doc},
    {"pairwise_kf_from_newick_iter", fastcall(pairwise_kf_from_newick_iter), fastcall_flags,
     pairwise_kf_from_newick_iter_doc},
};

int append_to_all(PyObject* module, const char* name) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
  PyRef all = PyRef::steal(found);
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return -1;
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "cladomatic.__all__ must be a list");
    return -1;
  }
  return PyList_Append(all.get(), text.get());
}

// Takes over `object`, also when it is null (the error of making it is then set).
int add_exported(PyObject* module, const char* name, PyRef object) {
  if (PyModule_Add(module, name, object.release()) < 0) return -1;
  return append_to_all(module, name);
}

int exec_module(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "cladomatic: expected a module object, got '%T'", module);
    return -1;
  }
  if (!internal_failure_type()) return -1;
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& function : functions) {
    PyRef object = PyRef::steal(PyCFunction_NewEx(&function, module, module_name.get()));
    if (add_exported(module, function.ml_name, std::move(object)) < 0) return -1;
  }
  return add_exported(module, "ProgressCounter", progress_counter_type(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "cladomatic",
    "Python module definition",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace cladomatic

PyMODINIT_FUNC PyInit_cladomatic() {
  return PyModuleDef_Init(&cladomatic::definition);
}
