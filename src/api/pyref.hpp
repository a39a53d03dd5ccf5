// One owned strong reference to a Python object, released by the destructor,
// so that every early return of a conversion or an entry point drops what it
// holds.  Destroy it only with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace cladomatic {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (a new reference from the C API);
  // null stays null, with the C API's error left set.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef share(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace cladomatic
