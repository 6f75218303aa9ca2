#include "call.hpp"

#include <array>

#include "array.hpp"
#include "compat.hpp"
#include "function.hpp"

namespace frame {
namespace {

// Takes over a call's result; a null one without an exception is the callee's error.
Ref checked(PyObject* result) {
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return Ref::steal(result);
}

// The flags that decide how an entry point is called, without the binding modifiers.
int convention(int flags) noexcept { return flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST); }

// Our functions and builtins taking no argument or exactly one are entered directly. Returns
// false when `callable` is not such a function for `n` arguments. The test is the type's call
// slot: two subtype checks would cost every other callee (Python functions, classes) more than
// the call itself saves.
bool call_direct(PyObject* callable, PyObject* const* args, std::size_t n, Ref& result) {
    const ternaryfunc slot = Py_TYPE(callable)->tp_call;
    PyMethodDef* entry = nullptr;
    PyObject* self = callable;
    if (slot == function_type.tp_call) {
        entry = reinterpret_cast<Function*>(callable)->entry;
    } else if (slot == PyCFunction_Type.tp_call) {
        entry = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
        self = PyCFunction_GET_SELF(callable);
    } else {
        return false;
    }
    const int flags = convention(entry->ml_flags);
    if (!(n == 0 && flags == METH_NOARGS) && !(n == 1 && flags == METH_O)) return false;
    PyObject* arg = n ? args[0] : nullptr;
    result = checked(guarded([&] { return entry->ml_meth(self, arg); }));
    return true;
}

Ref call_unbound(const ModuleState& state, PyObject* callable, PyObject* const* args,
                 std::size_t n) {
    if (Ref result; call_direct(callable, args, n, result)) return result;
    if (vectorcallfunc vectorcall = compat::vectorcall_of(callable))
        return checked(vectorcall(callable, args, n, nullptr));
    const ternaryfunc generic = Py_TYPE(callable)->tp_call;
    if (!generic)  // the interpreter's own "not callable" error
        return Ref::steal(PyObject_Call(callable, state.empty_tuple.get(), nullptr));
    Ref tuple = n ? Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n))) : state.empty_tuple;
    if (!tuple) return {};
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);
    }
    return checked(guarded([&] { return generic(callable, tuple.get(), nullptr); }));
}

// A bound method: its function, with the instance in front of the arguments.
Ref call_bound(const ModuleState& state, PyObject* method, PyObject* const* args,
               std::size_t n) {
    const Ref function = Ref::borrow(PyMethod_GET_FUNCTION(method));
    const Ref self = Ref::borrow(PyMethod_GET_SELF(method));
    constexpr std::size_t on_stack = 8;
    std::array<PyObject*, on_stack> small;
    Array<PyObject*> large;
    PyObject** stack = small.data();
    if (n + 1 > on_stack) {
        if (!large.resize(n + 1)) {
            PyErr_NoMemory();
            return {};
        }
        stack = large.data();
    }
    stack[0] = self.get();
    for (std::size_t i = 0; i < n; ++i) stack[i + 1] = args[i];
    return call_unbound(state, function.get(), stack, n + 1);
}

}  // namespace

Ref call(const ModuleState& state, PyObject* callable, PyObject* const* args, std::size_t n) {
    if (PyMethod_Check(callable) && PyMethod_GET_SELF(callable))
        return call_bound(state, callable, args, n);
    return call_unbound(state, callable, args, n);
}

}  // namespace frame
