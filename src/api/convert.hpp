// Conversions of Python arguments to the core's types, with the module's
// wording for what cannot be converted.  Each returns 0, or -1 with an
// exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "snapshot/translate_map.hpp"

namespace cladomatic {

// TypeError "'T' object cannot be converted to 'TARGET'"; always -1.
int refuse(PyObject* object, const char* target);

int convert_str(PyObject* object, std::string& out);

// A dict of str to str.
int convert_translate_map(PyObject* object, TranslateMap& out);

}  // namespace cladomatic
