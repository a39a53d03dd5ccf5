#include "results.hpp"

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

PyRef float_list(std::span<const double> items) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(items[i]);
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
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
