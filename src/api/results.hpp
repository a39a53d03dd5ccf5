// Native results as new Python objects.  Every function returns an empty
// reference with an exception set when the object cannot be made, and every
// one that takes references accepts empty ones and then passes the failure on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "pyref.hpp"

namespace cladomatic {

PyRef string_list(std::span<const std::string> items) noexcept;
// Memory for an n x n float64 matrix that later becomes, in place, the item
// array of a list of its n * n floats (a float64 and an object pointer are
// both 8 bytes): the list then costs no second buffer of the matrix's size.
// From PyMem_Malloc, as a list's items are.
struct PyMemFree {
  void operator()(void* block) const noexcept { PyMem_Free(block); }
};
using FloatListStorage = std::unique_ptr<double[], PyMemFree>;

// Empty, with MemoryError set, when n * n cells do not fit.
FloatListStorage float_list_storage(std::size_t n) noexcept;

// The symmetric n x n matrix in `storage` (row-major) as one flat list of
// floats, read from its diagonal and upper triangle alone (the rest may be
// unset).  Floats are immutable, so entries (i, j) and (j, i) are one object,
// and so is every +0.0: about half the objects, memory and time of a float per
// entry, with nothing visible but identity.
PyRef symmetric_float_list(FloatListStorage storage, std::size_t n) noexcept;
// How many new floats symmetric_float_list makes of the same matrix: its
// upper-triangle and diagonal cells that are not +0.0.  Counted over the
// worker threads; touches no Python object.
std::size_t symmetric_float_count(const double* values, std::size_t n) noexcept;
PyRef size_object(std::size_t value) noexcept;

// A bytes object for a rows x columns matrix of `width`-byte entries, whose
// payload the pairwise stage fills in place with the lock released: it spares
// a copy of the largest buffer of the call.  MemoryError when the size does
// not fit a bytes object.  A size of 0 gives the shared empty bytes object,
// which must never be written.
PyRef uninitialised_bytes(std::size_t rows, std::size_t columns, std::size_t width) noexcept;
std::span<std::byte> payload(PyObject* bytes) noexcept;

template <class... Items>
PyRef tuple_of(Items&&... items) noexcept {
  if (!(items && ...)) return PyRef();
  PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(items)));
  if (!tuple) return tuple;
  Py_ssize_t position = 0;
  (PyTuple_SET_ITEM(tuple.get(), position++, items.release()), ...);
  return tuple;
}

}  // namespace cladomatic
