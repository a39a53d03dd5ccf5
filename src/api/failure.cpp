#include "failure.hpp"

#include <mutex>
#include <new>
#include <stdexcept>

namespace cladomatic {
namespace {

constexpr const char kInternalFailureKey[] = "cladomatic.InvariantFailure";

PyObject* made_type = nullptr;
std::once_flag made_once;

// Callers find the tree at fault in `tree_index` without parsing the message.
// Should the attribute not fit, the error raised in its place is the one left.
void attach_tree_index(std::uint64_t tree_index) noexcept {
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  PyRef index = PyRef::steal(PyLong_FromUnsignedLongLong(tree_index));
  if (index && PyObject_SetAttrString(error.get(), "tree_index", index.get()) == 0)
    PyErr_SetRaisedException(error.release());
}

PyObject* find_or_make_type() noexcept {
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!shared) return nullptr;
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(shared, kInternalFailureKey, &found) < 0) return nullptr;
  if (found) return found;
  PyRef type =
      PyRef::steal(PyErr_NewExceptionWithDoc(kInternalFailureKey,
                                             "A state cladomatic never expects: a bug, never a fault of "
                                             "the input. The call that hit it was abandoned.",
                                             PyExc_BaseException, nullptr));
  if (!type || PyDict_SetItemString(shared, kInternalFailureKey, type.get()) < 0) return nullptr;
  return type.release();
}

}  // namespace

PyRef raise(Failure&& failure) noexcept {
  if (auto* exception = std::get_if<PyRef>(&failure)) {
    PyErr_SetRaisedException(exception->release());
  } else {
    const Error& error = std::get<Error>(failure);
    PyErr_SetString(PyExc_ValueError, error.message.c_str());
    if (error.tree_index) attach_tree_index(*error.tree_index);
  }
  return PyRef();
}

void raise(const std::exception& failure) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&failure) || dynamic_cast<const std::length_error*>(&failure)) {
    PyErr_NoMemory();
    return;
  }
  PyObject* type = internal_failure_type();
  PyErr_SetString(type ? type : PyExc_BaseException, failure.what());
}

PyObject* internal_failure_type() noexcept {
  std::call_once(made_once, [] { made_type = find_or_make_type(); });
  if (!made_type && !PyErr_Occurred())
    PyErr_SetString(PyExc_ImportError, "cladomatic: the internal failure type is missing");
  return made_type;
}

}  // namespace cladomatic
