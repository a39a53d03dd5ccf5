#include "frame.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <utility>

#include "convert.hpp"
#include "progress.hpp"

namespace cladomatic {

namespace {

constexpr std::array<const char*, 6> parameter_names = {
    "names", "newick_iter", "translate_maps", "map_indices", "rooted", "progress",
};
constexpr Py_ssize_t required_count = 4;

using Bound = std::array<PyObject*, parameter_names.size()>;  // borrowed; null when absent

// Binds positional arguments, then keywords (their values follow the
// positional ones in `args`), in the host's own wording for binding errors.
int bind(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& bound) {
  constexpr auto count = static_cast<Py_ssize_t>(parameter_names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", function, count, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t position = 0;
    while (position < count && PyUnicode_EqualToUTF8(keyword, parameter_names[position]) != 1) ++position;
    if (position == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
      return -1;
    }
    if (bound[position]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", function,
                   parameter_names[position], position + 1);
      return -1;
    }
    bound[position] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < required_count; ++i) {
    if (!bound[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function,
                   parameter_names[i], i + 1);
      return -1;
    }
  }
  return 0;
}

int convert_index(PyObject* object, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return -1;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  out = value;
  return 0;
}

// A str is a sequence of str, but never meant as a list of one-letter items.
template <class Element>
int convert_sequence(PyObject* object, std::vector<Element>& out,
                     int (*convert_element)(PyObject*, Element&)) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(object)) return refuse(object, "Sequence");
  // Only a list's or a tuple's length is backed by memory it already holds;
  // another sequence could claim any length.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    out.reserve(static_cast<std::size_t>(PySequence_Size(object)));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return -1;
  PyObject* item = nullptr;
  int status = 0;
  while ((status = PyIter_NextItem(iterator.get(), &item)) == 1) {
    PyRef owned = PyRef::steal(item);
    Element element{};
    if (convert_element(item, element) < 0) return -1;
    out.push_back(std::move(element));
  }
  return status;
}

int convert_iterator(PyObject* object, PyRef& out) {
  if (!PyIter_Check(object)) return refuse(object, "Iterator");
  out = PyRef::share(object);
  return 0;
}

bool is_numpy_bool(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  PyRef name = module ? PyRef::steal(PyType_GetName(type)) : PyRef();
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(module.get(), "numpy") == 1 &&
         (PyUnicode_EqualToUTF8(name.get(), "bool") == 1 || PyUnicode_EqualToUTF8(name.get(), "bool_") == 1);
}

// Integers are refused: `rooted=1` is more likely a misplaced argument than a flag.
int convert_rooted(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return 0;
  }
  if (!is_numpy_bool(Py_TYPE(object))) return refuse(object, "bool");
  int truth = PyObject_IsTrue(object);
  if (truth < 0) return -1;
  out = truth == 1;
  return 0;
}

int convert_progress(PyObject* object, PyRef& out) {
  if (!object || object == Py_None) return 0;
  if (!is_progress_counter(object)) return refuse(object, "ProgressCounter");
  out = PyRef::share(object);
  return 0;
}

// Keeps the exception as it is; a failing add_note must not replace it.
int annotate(const char* parameter) {
  PyObject* exception = PyErr_GetRaisedException();
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef added = note ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get())) : PyRef();
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exception);
  return -1;
}

int convert(const Bound& bound, CallArgs& out) {
  if (convert_sequence(bound[0], out.names, convert_str) < 0) return annotate(parameter_names[0]);
  if (convert_iterator(bound[1], out.newick_iter) < 0) return annotate(parameter_names[1]);
  if (convert_sequence(bound[2], out.translate_maps, convert_translate_map) < 0) {
    return annotate(parameter_names[2]);
  }
  if (convert_sequence(bound[3], out.map_indices, convert_index) < 0) return annotate(parameter_names[3]);
  if (bound[4] && convert_rooted(bound[4], out.rooted) < 0) return annotate(parameter_names[4]);
  if (convert_progress(bound[5], out.progress) < 0) return annotate(parameter_names[5]);
  return 0;
}

}  // namespace

PyObject* call_frame(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Entry entry) noexcept {
  try {
    Bound bound{};
    if (bind(function, args, nargs, kwnames, bound) < 0) return nullptr;
    CallArgs call;
    if (convert(bound, call) < 0) return nullptr;
    return entry(std::move(call)).release();
  } catch (const std::exception& failure) {
    // Every native buffer of the call is owned by a record on the way out,
    // so unwinding has released all of them, and any lock released for the
    // pairwise stage was taken back.  An allocation failing where no
    // unwinding is possible still terminates.
    raise(failure);
    return nullptr;
  }
}

}  // namespace cladomatic
