// The few interpreter calls whose spelling differs between versions. Only this file tests the
// interpreter version with the preprocessor.
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

inline vectorcallfunc vectorcall_of(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return PyVectorcall_Function(callable);
#else
    return _PyVectorcall_Function(callable);
#endif
}

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
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

// A dict's version tag, which changes with every modification. From 3.12 on the tag is
// deprecated and nothing reads this (see build::global_lookup_cache).
inline std::uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return 0;
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// getattr that reports a missing attribute (AttributeError or a subclass) as 0 without an
// exception; 1 with the value in `out`, -1 with the exception set on any other failure.
inline int optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// A code object from its parts; `line_table` is the line-number table of the running version
// (lnotab before 3.10, linetable from 3.10, location table from 3.11).
inline PyObject* new_code(int argcount, int nlocals, int flags, PyObject* code, PyObject* consts,
                          PyObject* names, PyObject* varnames, PyObject* no_vars,
                          PyObject* filename, PyObject* name, int firstlineno,
                          PyObject* line_table, [[maybe_unused]] PyObject* exception_table) {
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, name, firstlineno, line_table, exception_table));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, name, firstlineno, line_table, exception_table));
#else
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, no_vars, no_vars,
        filename, name, firstlineno, line_table));
#endif
}

// Attribute `name` of `obj`, fetched for an immediate call as the interpreter's method load
// does: a function found on the type comes back unbound, with `*self` set to `obj`, so that no
// bound method is made; otherwise `*self` is null. Null with the exception set on failure.
inline PyObject* fetch_method(PyObject* obj, PyObject* name, PyObject** self) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030C0000
    PyObject* method = nullptr;
    *self = _PyObject_GetMethod(obj, name, &method) ? obj : nullptr;
    return method;
#else
    *self = nullptr;
    return PyObject_GetAttr(obj, name);
#endif
}

// Fetches method `name` of args[0] and calls it with the rest of `args`, in one step where the
// interpreter offers one.
inline PyObject* call_method(PyObject* name, PyObject* const* args, std::size_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    Ref method = Ref::steal(PyObject_GetAttr(args[0], name));
    return method ? _PyObject_Vectorcall(method.get(), args + 1, nargs - 1, nullptr) : nullptr;
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
