#include "results.hpp"

#include <algorithm>
#include <bit>

#include "distances/pages.hpp"

namespace cladomatic {

PyRef string_list(std::span<const std::string> items) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = PyUnicode_FromStringAndSize(items[i].data(), static_cast<Py_ssize_t>(items[i].size()));
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyRef symmetric_float_list(std::span<const double> cells, std::size_t n) noexcept {
  if (cells.size() != n * n) {
    PyErr_SetString(PyExc_SystemError, "float matrix is not n * n");
    return PyRef();
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cells.size())));
  PyRef zero = PyRef::steal(PyFloat_FromDouble(0.0));
  if (!list || !zero) return PyRef();
  PyObject** items = PySequence_Fast_ITEMS(list.get());
  // The list is filled on this thread alone: its pages are faulted in by
  // the pool first.
  prefault_for_writing(std::as_writable_bytes(std::span(items, cells.size())));
  const auto bits = [&](std::size_t at) { return std::bit_cast<std::uint64_t>(cells[at]); };
  const auto make = [&](std::size_t at) -> PyObject* {
    return bits(at) == 0 ? Py_NewRef(zero.get()) : PyFloat_FromDouble(cells[at]);
  };
  // Tiles of 64 x 64 keep the column-wise stores of the lower triangle in a
  // small working set, as in the matrix mirror.  Items not yet set are NULL,
  // which the list's deallocation skips, so a failure can return at once.
  constexpr std::size_t kTile = 64;
  for (std::size_t ti = 0; ti < n; ti += kTile) {
    const std::size_t i_end = std::min(ti + kTile, n);
    for (std::size_t tj = ti; tj < n; tj += kTile) {
      const std::size_t j_end = std::min(tj + kTile, n);
      for (std::size_t i = ti; i < i_end; ++i) {
        for (std::size_t j = std::max(tj, i); j < j_end; ++j) {
          const std::size_t upper = i * n + j, lower = j * n + i;
          PyObject* value = make(upper);
          if (value == nullptr) return PyRef();
          items[upper] = value;
          if (lower == upper) continue;
          PyObject* mirrored = bits(lower) == bits(upper) ? Py_NewRef(value) : make(lower);
          if (mirrored == nullptr) return PyRef();
          items[lower] = mirrored;
        }
      }
    }
  }
  return list;
}

PyRef size_object(std::size_t value) noexcept {
  return PyRef::steal(PyLong_FromSize_t(value));
}

PyRef uninitialised_bytes(std::size_t rows, std::size_t columns, std::size_t width) noexcept {
  std::size_t size = 0;
  if (__builtin_mul_overflow(rows, columns, &size) || __builtin_mul_overflow(size, width, &size) ||
      size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return PyRef();
  }
  return PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

std::span<std::byte> payload(PyObject* bytes) noexcept {
  return {reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace cladomatic
