// Argument binding for entry points of the fast-call-with-keywords convention whose
// parameters are all required and positional-or-keyword.
#pragma once

#include <Python.h>

#include <span>

namespace frame {

// Binds `names` (interned) from a vectorcall's `args`, `nargs` positional ones and `kwnames`:
// on success `values[i]` holds the borrowed argument for `names[i]` and the result is 0. On
// failure the result is -1 with a TypeError naming `function` set (or the exception of a
// raising keyword comparison); the caller adds its traceback entry.
int bind_arguments(const char* function, std::span<PyObject* const> names,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> values);

}  // namespace frame
