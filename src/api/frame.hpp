// The call frame shared by the six module functions: binds the six
// parameters, converts them in parameter order (the first failure ends the
// call, its exception annotated with the parameter's name), runs the entry
// point and turns its failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

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

// Why a call has no result: a Python exception taken out of the interpreter
// (re-raised unchanged) or a message of the computation (raised as ValueError).
using Failure = std::variant<PyRef, Error>;

// Makes the failure the interpreter's current exception.  Returns an empty
// reference, so that an entry point can `return raise(...)`.
PyRef raise(Failure&& failure) noexcept;

// An entry point: the result tuple, or an empty reference with an exception set.
using Entry = PyRef (*)(CallArgs&&);

PyObject* call_frame(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Entry entry) noexcept;

// The exception type of internal invariant failures: derived directly from
// BaseException so that `except Exception` does not swallow a bug, created once
// per process (a re-import must not make a second, uncatchable type) and not
// exported.  -1 with an exception set if it cannot be created.
int ensure_internal_failure_type() noexcept;

}  // namespace cladomatic
