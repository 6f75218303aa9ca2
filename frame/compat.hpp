// The few interpreter calls whose spelling differs between versions, each returning a new
// reference as a Ref. Only this file tests the interpreter version with the preprocessor; what
// the frame does differently by version is decided in build.hpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace frame::compat {

inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// The running interpreter's version as 0xMMmm0000-style hex, or 0 when it has none to offer.
inline unsigned long runtime_version_hex() {
#if PY_VERSION_HEX >= 0x030B0000
    return Py_Version;
#else
    return 0;
#endif
}

// The vectorcall API (these two calls and the type flag below) is provisional on 3.8, spelt
// with a leading underscore there; public from 3.9.
inline vectorcallfunc vectorcall_of(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return PyVectorcall_Function(callable);
#else
    return _PyVectorcall_Function(callable);
#endif
}

inline Ref vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
#else
    return Ref::steal(_PyObject_Vectorcall(callable, args, nargsf, kwnames));
#endif
}

// The thread's count of C calls it may still make before the interpreter's recursion check
// runs, where extensions can see it: the thread state's `recursion_remaining` on 3.11 and
// `c_recursion_remaining` from 3.12 (fields of its non-limited API), the thread state fetched
// without a check (private on 3.11 and 3.12, public from 3.13). Read directly, a call under the
// limit costs one fetch of the thread state instead of two calls into the interpreter that
// fetch it each. Up to 3.10 the limit lives in interpreter state extensions cannot see; null.
inline constexpr bool has_recursion_counter = PY_VERSION_HEX >= 0x030B0000;
inline int* recursion_counter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return &PyThreadState_GetUnchecked()->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030C0000
    return &_PyThreadState_UncheckedGet()->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return &_PyThreadState_UncheckedGet()->recursion_remaining;
#else
    return nullptr;
#endif
}

// The type flag that makes instances carry their own vectorcall entry point.
#if PY_VERSION_HEX >= 0x03090000
inline constexpr unsigned long have_vectorcall_flag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long have_vectorcall_flag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// The calling-convention flag of methods that receive their defining class (none before 3.9).
#if PY_VERSION_HEX >= 0x03090000
inline constexpr int meth_method = METH_METHOD;
#else
inline constexpr int meth_method = 0;
#endif

// A dict's version tag, which changes with every modification. Private field, read on 3.8 to
// 3.11 only, where it lets a global read skip the dict lookup (build::global_lookup_cache);
// from 3.12 it is deprecated and nothing reads this.
inline std::uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return 0;
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// getattr that reports a missing attribute (AttributeError or a subclass) as 0 without an
// exception; 1 with the value in `out`, -1 with the exception set on any other failure. Up to
// 3.12 under its private name, which the interpreter's own global reads use too: a missing
// builtin then costs no exception made and cleared.
inline int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(obj, name, &value);
#else
    const int found = _PyObject_LookupAttr(obj, name, &value);
#endif
    out = Ref::steal(value);
    return found;
}

// A code object from its parts; `line_table` is the line-number table of the running version
// (lnotab before 3.10, linetable from 3.10, location table from 3.11). From 3.12 the
// constructor is the unstable API's.
inline Ref new_code(int argcount, int nlocals, int flags, PyObject* code, PyObject* consts,
                    PyObject* names, PyObject* varnames, PyObject* no_vars, PyObject* filename,
                    PyObject* name, int firstlineno, PyObject* line_table,
                    [[maybe_unused]] PyObject* exception_table) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, name, firstlineno, line_table, exception_table)));
#elif PY_VERSION_HEX >= 0x030B0000
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, name, firstlineno, line_table, exception_table)));
#else
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, firstlineno, line_table)));
#endif
}

// Attribute `name` of `obj`, fetched for an immediate call as the interpreter's method load
// does: a function found on the type comes back unbound, with `self` set to `obj`, so that no
// bound method is made; otherwise `self` is null. Empty with the exception set on failure.
// Used up to 3.11 (build::method_call_in_one_step), with the interpreter's private method load
// from 3.9; 3.8 does not declare it for extensions, so there the attribute is got, a bound
// method where it is one.
inline Ref get_method(PyObject* obj, PyObject* name, PyObject*& self) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030C0000
    PyObject* method = nullptr;
    self = _PyObject_GetMethod(obj, name, &method) ? obj : nullptr;
    return Ref::steal(method);
#else
    self = nullptr;
    return Ref::steal(PyObject_GetAttr(obj, name));
#endif
}

// Method `name` of args[0] called with the rest of `args`: fetched and called in one step from
// 3.9, whose public call does so without a bound method; 3.8 has no such call.
inline Ref call_method(PyObject* name, PyObject* const* args, std::size_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(
        PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
    Ref method = Ref::steal(PyObject_GetAttr(args[0], name));
    if (!method) return {};
    return Ref::steal(_PyObject_Vectorcall(method.get(), args + 1, nargs - 1, nullptr));
#endif
}

// The exception being raised, taken out of the thread state and put back later.
class PendingError {
public:
    PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        Py_XDECREF(exc_);
#if PY_VERSION_HEX < 0x030C0000
        Py_XDECREF(type_);
        Py_XDECREF(tb_);
#endif
    }
    // Makes it the current exception again.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(exc_, nullptr),
                      std::exchange(tb_, nullptr));
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

}  // namespace frame::compat
