// How failures reach Python, the same way from both bindings: a message of
// the computation becomes a ValueError (with `tree_index` when it is about
// one tree), a Python exception taken out of the interpreter is raised again
// unchanged, and a broken invariant raises the one internal-failure type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <variant>

#include "pyref.hpp"
#include "snapshot/result.hpp"

namespace cladomatic {

// Why a call has no result: a Python exception taken out of the interpreter
// (re-raised unchanged) or a message of the computation (raised as ValueError).
using Failure = std::variant<PyRef, Error>;

// Makes the failure the interpreter's current exception.  Returns an empty
// reference, so that an entry point can `return raise(...)`.
PyRef raise(Failure&& failure) noexcept;

// Sets the exception for a C++ exception that ended a call: MemoryError for
// an allocation that failed or a size beyond what a container can describe
// (everything the call held is released by then, so the process can go on),
// the internal-failure type for anything else.
void raise(const std::exception& failure) noexcept;

// The exception type of internal invariant failures: derived directly from
// BaseException so that `except Exception` does not swallow a bug.  One type
// for both modules, made by whichever is imported first and kept in the
// interpreter's own dictionary, so a re-import never makes a second,
// uncatchable one.  Null with an exception set if it cannot be made.
PyObject* internal_failure_type() noexcept;

}  // namespace cladomatic
