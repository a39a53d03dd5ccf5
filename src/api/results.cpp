#include "results.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <bit>
#include <functional>

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

static_assert(sizeof(double) == sizeof(PyObject*), "a matrix cell becomes a list item in place");

FloatListStorage float_list_storage(std::size_t n) noexcept {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(n, n, &cells) ||
      cells > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
    PyErr_NoMemory();
    return {};
  }
  // Not zeroed: the engine writes every cell read, and zeroing n*n doubles
  // first would cost a sizeable share of the pairwise stage.
  FloatListStorage storage(
      static_cast<double*>(PyMem_Malloc(std::max<std::size_t>(cells, 1) * sizeof(double))));
  if (!storage) PyErr_NoMemory();
  return storage;
}

namespace {

// Drops the references the slots hold (NULL ones skipped).
void release_items(PyObject** items, std::size_t cells) noexcept {
  for (std::size_t k = 0; k < cells; ++k) Py_XDECREF(items[k]);
}

// Hands the item array to a new list, which frees it with PyMem_Free.
PyRef adopting_list(FloatListStorage storage, PyObject** items, std::size_t cells) noexcept {
#ifdef Py_GIL_DISABLED
  // The free-threaded build keeps list items in an allocation of its own.
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cells)));
  if (!list) {
    release_items(items, cells);
    return list;
  }
  std::copy_n(items, cells, PySequence_Fast_ITEMS(list.get()));
  static_cast<void>(storage);
#else
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) {
    release_items(items, cells);
    return list;
  }
  auto* object = reinterpret_cast<PyListObject*>(list.get());
  object->ob_item = items;
  object->allocated = static_cast<Py_ssize_t>(cells);
  Py_SET_SIZE(object, static_cast<Py_ssize_t>(cells));
  static_cast<void>(storage.release());
#endif
  return list;
}

}  // namespace

PyRef symmetric_float_list(FloatListStorage storage, std::size_t n) noexcept {
  const std::size_t cells = n * n;
  PyRef zero = PyRef::steal(PyFloat_FromDouble(0.0));
  if (!zero) return PyRef();
  // Each upper cell is read once and then replaced by its float; its lower
  // twin gets the same object.  After a failure the loop goes on writing
  // NULL instead, so that every slot holds an object or NULL.
  auto* items = reinterpret_cast<PyObject**>(storage.get());
  const double* values = storage.get();
  bool failed = false;
  // Tiles of 64 x 64 keep the column-wise stores of the lower triangle in a
  // small working set.
  constexpr std::size_t kTile = 64;
  for (std::size_t ti = 0; ti < n; ti += kTile) {
    const std::size_t i_end = std::min(ti + kTile, n);
    for (std::size_t tj = ti; tj < n; tj += kTile) {
      const std::size_t j_end = std::min(tj + kTile, n);
      for (std::size_t i = ti; i < i_end; ++i) {
        for (std::size_t j = std::max(tj, i); j < j_end; ++j) {
          const std::size_t upper = i * n + j, lower = j * n + i;
          PyObject* value = nullptr;
          if (!failed) {
            const double cell = values[upper];
            value =
                std::bit_cast<std::uint64_t>(cell) == 0 ? Py_NewRef(zero.get()) : PyFloat_FromDouble(cell);
            failed = value == nullptr;
          }
          items[upper] = value;
          if (lower != upper) items[lower] = Py_XNewRef(value);
        }
      }
    }
  }
  if (failed) {
    release_items(items, cells);
    return PyRef();
  }
  return adopting_list(std::move(storage), items, cells);
}

std::size_t symmetric_float_count(const double* values, std::size_t n) noexcept {
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, n), std::size_t{0},
      [&](const tbb::blocked_range<std::size_t>& rows, std::size_t count) {
        for (std::size_t i = rows.begin(); i != rows.end(); ++i)
          for (std::size_t j = i; j < n; ++j) count += std::bit_cast<std::uint64_t>(values[i * n + j]) != 0;
        return count;
      },
      std::plus<>());
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
