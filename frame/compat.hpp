// The few interpreter calls whose spelling differs between versions. Only this file tests the
// interpreter version with the preprocessor.
#pragma once

#include <Python.h>

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
