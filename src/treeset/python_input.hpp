// Python objects the reader reads from, and where their exceptions wait:
// reading runs without the interpreter lock, so an exception a Python call
// raises there is kept and raised again once the caller holds the lock.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "reading/byte_source.hpp"

namespace cladomatic {

// Where a Python exception met while reading waits to be raised again, once
// the caller holds the lock and the pipeline has stopped.
struct Raised {
  PyObject* exception = nullptr;  // owned

  Raised() = default;
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;
  ~Raised() {
    nanobind::gil_scoped_acquire lock;
    Py_XDECREF(exception);
  }
  // Takes the exception being handled (the lock held); the first one stays.
  void keep(nanobind::python_error& error) {
    error.restore();
    PyObject* current = PyErr_GetRaisedException();
    if (exception) {
      Py_DECREF(current);
    } else {
      exception = current;
    }
  }
  void raise_kept() {
    if (!exception) return;
    PyErr_SetRaisedException(std::exchange(exception, nullptr));
    throw nanobind::python_error();
  }
};

// A Python file object read through its `read`, whatever it returns: bytes,
// or str (taken as its UTF-8).  Its exceptions stop reading and are kept in
// `raised`.
std::unique_ptr<ByteSource> python_file_source(nanobind::object file, std::shared_ptr<Raised> raised);

}  // namespace cladomatic
