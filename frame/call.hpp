// How module code calls other objects: positional arguments only, the cheapest protocol the
// callee offers; and method calls, in the order each version evaluates them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "build.hpp"
#include "compat.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace frame {

// Runs `call` under the interpreter's recursion limit, as the interpreter enters its own C
// functions. While the thread is under the limit the count is kept here; at the limit the
// interpreter's own check decides, raising RecursionError or letting an error handler through.
template <class F>
PyObject* guarded(F&& call) {
    if constexpr (compat::has_recursion_counter) {
        int& remaining = *compat::recursion_counter();
        if (remaining > 0) {
            --remaining;
            PyObject* result = call();
            ++remaining;
            return result;
        }
    }
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

// `obj.name(argument)`, `argument` being what evaluates the argument to a Ref (empty on
// failure). From 3.12 the argument comes first and the method is fetched and called in one
// step; up to 3.11 the method is fetched first, unbound where it is a function of the type, so
// that a failing fetch is reported before anything the argument raises.
template <class Argument>
Ref call_method(const ModuleState& state, PyObject* obj, std::size_t name_slot,
                Argument&& argument) {
    if constexpr (build::method_call_in_one_step) {
        const Ref value = argument();
        if (!value) return {};
        PyObject* const args[] = {obj, value.get()};
        return compat::call_method(state.constant(name_slot), args, 2);
    } else {
        PyObject* self = nullptr;
        const Ref method = compat::get_method(obj, state.constant(name_slot), self);
        if (!method) return {};
        const Ref value = argument();
        if (!value) return {};
        if (self) return call(state, method.get(), {self, value.get()});
        return call(state, method.get(), {value.get()});
    }
}

// `obj.name()`, fetched and called in one step where the interpreter offers one.
inline Ref call_method(const ModuleState& state, PyObject* obj, std::size_t name_slot) {
    return compat::call_method(state.constant(name_slot), &obj, 1);
}

}  // namespace frame
