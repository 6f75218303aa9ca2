// How module code calls other objects: positional arguments only, the cheapest protocol the
// callee offers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "module.hpp"
#include "ref.hpp"

namespace frame {

// Runs `call` under the interpreter's recursion limit, as C calls into Python objects are.
template <class F>
PyObject* guarded(F&& call) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = call();
    Py_LeaveRecursiveCall();
    return result;
}

// Calls `callable` with `n` positional arguments: a bound method becomes its function with the
// instance in front; functions of this frame and builtins taking no or one argument are
// entered directly; then vectorcall; then tp_call with a tuple. Never keywords.
Ref call(const ModuleState& state, PyObject* callable, PyObject* const* args, std::size_t n);

inline Ref call(const ModuleState& state, PyObject* callable, std::initializer_list<PyObject*> args) {
    return call(state, callable, args.begin(), args.size());
}

}  // namespace frame
