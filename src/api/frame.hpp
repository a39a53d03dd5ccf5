// The call frame shared by the six module functions: binds the six
// parameters, converts them in parameter order (the first failure ends the
// call, its exception annotated with the parameter's name), runs the entry
// point and turns its failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "failure.hpp"
#include "pyref.hpp"
#include "snapshot/result.hpp"
#include "snapshot/translate_map.hpp"

namespace cladomatic {

// The converted arguments, owned by the entry point for the whole call.
struct CallArgs {
  std::vector<std::string> names;
  PyRef newick_iter;  // an iterator, not read during conversion
  std::vector<TranslateMap> translate_maps;
  std::vector<std::uint64_t> map_indices;
  bool rooted = false;
  PyRef progress;  // a ProgressCounter, or empty for None
};

// An entry point: the result tuple, or an empty reference with an exception set.
using Entry = PyRef (*)(CallArgs&&);

PyObject* call_frame(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Entry entry) noexcept;

}  // namespace cladomatic
