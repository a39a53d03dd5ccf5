#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int exec_module(PyObject*) { return 0; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "cladomatic", "Python module definition", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_cladomatic() { return PyModuleDef_Init(&definition); }
