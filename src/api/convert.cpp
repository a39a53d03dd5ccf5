#include "convert.hpp"

#include <utility>

namespace cladomatic {

int refuse(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%T' object cannot be converted to '%s'", object, target);
  return -1;
}

int convert_str(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) return refuse(object, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return -1;
  out.assign(data, static_cast<std::size_t>(size));
  return 0;
}

int convert_translate_map(PyObject* object, TranslateMap& out) {
  if (!PyDict_Check(object)) return refuse(object, "dict");
  int status = 0;
  Py_BEGIN_CRITICAL_SECTION(object);
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  std::string key_text;
  std::string value_text;
  while (status == 0 && PyDict_Next(object, &position, &key, &value)) {
    status = convert_str(key, key_text);
    if (status == 0) status = convert_str(value, value_text);
    if (status == 0) out.emplace(std::move(key_text), std::move(value_text));
  }
  Py_END_CRITICAL_SECTION();
  return status;
}

}  // namespace cladomatic
