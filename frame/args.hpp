// Argument binding for entry points of the fast-call-with-keywords convention whose
// parameters are all required and positional-or-keyword.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace frame {

// Binds `names` (interned) from a vectorcall's `args`, `nargs` positional ones and `kwnames`:
// on success `values[i]` holds the borrowed argument for `names[i]` and the result is 0. On
// failure the result is -1 with a TypeError naming `function` set (or the exception of a
// raising keyword comparison); the caller adds its traceback entry.
int bind_arguments_in_full(const char* function, std::span<PyObject* const> names,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::span<PyObject*> values);

// Module functions take a handful of parameters at most; binding keeps its bookkeeping on the
// stack.
inline constexpr std::size_t max_parameters = 8;

// The usual call is bound here: the arguments are the parameters in order, positional ones
// first and then keywords that are the parameter names themselves (as interned names from
// compiled code are); every version binds that the same way. Anything else is bound in full.
inline int bind_arguments(const char* function, std::span<PyObject* const> names,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          std::span<PyObject*> values) {
    const std::size_t count = names.size();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw == static_cast<Py_ssize_t>(count) && count <= max_parameters &&
        values.size() >= count) {
        bool in_order = true;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            in_order = in_order && PyTuple_GET_ITEM(kwnames, k) == names[static_cast<std::size_t>(nargs + k)];
        if (in_order) {
            for (std::size_t i = 0; i < count; ++i) values[i] = args[i];
            return 0;
        }
    }
    return bind_arguments_in_full(function, names, args, nargs, kwnames, values);
}

}  // namespace frame
