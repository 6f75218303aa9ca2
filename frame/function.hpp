// The function objects a module body creates: one type for every function of a library.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace frame {

// A C entry point of any calling convention as the pointer type a method entry holds, and
// back. The detour through void(*)() is the sanctioned way to change function pointer types.
template <class F>
PyCFunction entry_point(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
template <class F>
F* convention_of(PyCFunction f) noexcept {
    return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(f));
}

// The instance layout. Entry points receive the function object itself as `self`, so a body
// can reach its own attributes; module state is process-wide and needs no carrier. Every
// object field holds a reference of the function's own, or null.
struct Function {
    PyObject ob_base;
    vectorcallfunc vectorcall;     // per calling convention, chosen at creation
    PyMethodDef* entry;            // static, not owned: name, entry point, convention
    PyTypeObject* defining_class;  // passed to entry points of the method convention
    PyObject* name;                // __name__, interned from the entry on first read
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* weakrefs;            // the weak reference list, cleared at deallocation
};

// The type, shared by every function of the library.
extern PyTypeObject function_type;

// Readies the type; a module that defines functions does so when it executes. -1 with the
// exception set on failure.
int ready_function_type();

// A function object for `entry`, which must outlive it; `qualname` must be a str, `code` may
// be null (reads as None). Accepted conventions: METH_NOARGS,
// METH_O, METH_VARARGS|METH_KEYWORDS, METH_FASTCALL|METH_KEYWORDS and, from 3.9 on,
// METH_METHOD|METH_FASTCALL|METH_KEYWORDS; anything else is a SystemError. The type must be
// ready.
Ref make_function(PyMethodDef& entry, PyObject* qualname, PyObject* module_name,
                  PyObject* globals, PyObject* code, PyTypeObject* defining_class = nullptr);

}  // namespace frame
