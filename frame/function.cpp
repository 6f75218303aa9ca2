#include "function.hpp"

#include <cstddef>
#include <span>
#include <utility>

#include "build.hpp"
#include "call.hpp"
#include "code.hpp"
#include "compat.hpp"
#include "module.hpp"

namespace frame {
namespace {

using NoArgs = PyObject*(PyObject*, PyObject*);
using WithKeywords = PyObject*(PyObject*, PyObject*, PyObject*);
using FastWithKeywords = PyObject*(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using Method = PyObject*(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr int noargs = METH_NOARGS;
constexpr int one_arg = METH_O;
constexpr int varargs = METH_VARARGS | METH_KEYWORDS;
constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr int method = compat::meth_method | METH_FASTCALL | METH_KEYWORDS;

Function& as_function(PyObject* obj) noexcept { return *reinterpret_cast<Function*>(obj); }

PyObject* new_ref(PyObject* obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

// Stores a new reference to `value` (or null) in `field`, releasing what was there.
void replace(PyObject*& field, PyObject* value) noexcept {
    Py_XINCREF(value);
    Py_XDECREF(std::exchange(field, value));
}

// A new reference to `obj` (or null) for a field of a new function, which owns it.
template <class T>
T* new_xref(T* obj) noexcept {
    Py_XINCREF(obj);
    return obj;
}

PyObject* or_none(PyObject* field) noexcept { return new_ref(field ? field : Py_None); }

PyObject* const* items_of(PyObject* tuple) noexcept {
    return reinterpret_cast<PyTupleObject*>(tuple)->ob_item;
}

bool has_keywords(PyObject* kwnames) noexcept { return kwnames && PyTuple_GET_SIZE(kwnames); }

// Vectorcall entry points, one per calling convention. Each checks what its convention cannot
// take and then enters the body under the interpreter's recursion limit, as the interpreter's
// own C functions are entered: a body calls whatever its module's globals hold, which can be
// the function itself (directly or through a partial), and would otherwise recurse until the
// C stack overflows.

PyObject* call_noargs(PyObject* self, PyObject* const*, std::size_t nargsf, PyObject* kwnames) {
    const char* name = as_function(self).entry->ml_name;
    if (has_keywords(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return nullptr;
    }
    if (const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
        return nullptr;
    }
    return guarded([&] { return as_function(self).entry->ml_meth(self, nullptr); });
}

PyObject* call_one(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const char* name = as_function(self).entry->ml_name;
    if (has_keywords(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return nullptr;
    }
    if (const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf); nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name,
                     nargs);
        return nullptr;
    }
    return guarded([&] { return as_function(self).entry->ml_meth(self, args[0]); });
}

PyObject* call_varargs(PyObject* self, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
    Ref kwargs;
    if (has_keywords(kwnames)) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    auto* body = convention_of<WithKeywords>(as_function(self).entry->ml_meth);
    return guarded([&] { return body(self, tuple.get(), kwargs.get()); });
}

PyObject* call_fast(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* body = convention_of<FastWithKeywords>(as_function(self).entry->ml_meth);
    return guarded([&] { return body(self, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

PyObject* call_method(PyObject* self, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
    Function& f = as_function(self);
    auto* body = convention_of<Method>(f.entry->ml_meth);
    return guarded(
        [&] { return body(self, f.defining_class, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

vectorcallfunc vectorcall_for(int flags) noexcept {
    if (flags == noargs) return call_noargs;
    if (flags == one_arg) return call_one;
    if (flags == varargs) return call_varargs;
    if (flags == fastcall) return call_fast;
    if (build::method_convention && flags == method) return call_method;
    return nullptr;
}

// tp_call: the tuple and dict of a generic call in vector form. Keyword values go into one
// tuple with the positional ones, which owns them for the duration of the call.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const vectorcallfunc vectorcall = as_function(self).vectorcall;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return vectorcall(self, items_of(args), static_cast<std::size_t>(nargs), nullptr);

    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!stack || !names) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(stack.get(), i, new_ref(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t i = 0; PyDict_Next(kwargs, &pos, &key, &value); ++i) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), i, new_ref(key));
        PyTuple_SET_ITEM(stack.get(), nargs + i, new_ref(value));
    }
    return vectorcall(self, items_of(stack.get()), static_cast<std::size_t>(nargs), names.get());
}

// Fetched through an instance, a function becomes a method of it.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

// The collector may have cleared the qualified name of a function in a dead cycle.
PyObject* function_repr(PyObject* self) {
    const Function& f = as_function(self);
    if (!f.qualname) return PyUnicode_FromFormat("<function %s at %p>", f.entry->ml_name, self);
    return PyUnicode_FromFormat("<function %U at %p>", f.qualname, self);
}

// Pickles by reference: the module and qualified name locate the function.
PyObject* function_reduce(PyObject* self, PyObject*) { return or_none(as_function(self).qualname); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function& f = as_function(self);
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.module);
    Py_VISIT(f.globals);
    Py_VISIT(f.code);
    Py_VISIT(f.dict);
    Py_VISIT(f.doc);
    Py_VISIT(f.defaults);
    Py_VISIT(f.kwdefaults);
    Py_VISIT(f.annotations);
    Py_VISIT(f.defining_class);
    return 0;
}

int function_clear(PyObject* self) {
    Function& f = as_function(self);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.module);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.code);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.doc);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.kwdefaults);
    Py_CLEAR(f.annotations);
    Py_CLEAR(f.defining_class);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self).weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Attributes.

int type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

PyObject* get_name(PyObject* self, void*) {
    Function& f = as_function(self);
    if (!f.name && !(f.name = PyUnicode_InternFromString(f.entry->ml_name))) return nullptr;
    return new_ref(f.name);
}

int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) return type_error("__name__ must be set to a string object");
    replace(as_function(self).name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return or_none(as_function(self).qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_CheckExact(value))
        return type_error("__qualname__ must be set to a string object");
    replace(as_function(self).qualname, value);
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self).module); }

int set_module(PyObject* self, PyObject* value, void*) {
    replace(as_function(self).module, value);
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self).doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
    replace(as_function(self).doc, value);
    return 0;
}

// Up to 3.11 the attribute dict is checked here, with messages of its own.
PyObject* get_dict(PyObject* self, void*) {
    Function& f = as_function(self);
    if (!f.dict && !(f.dict = PyDict_New())) return nullptr;
    return new_ref(f.dict);
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) return type_error("function's dictionary may not be deleted");
    if (!PyDict_Check(value)) return type_error("setting function's dictionary to a non-dict");
    replace(as_function(self).dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self).globals); }

PyObject* get_closure(PyObject*, void*) { return new_ref(Py_None); }

PyObject* get_code(PyObject* self, void*) { return or_none(as_function(self).code); }

PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self).defaults); }

PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self).kwdefaults); }

// Defaults are stored for introspection only: the entry points bind their own arguments.
int set_stored_defaults(PyObject*& field, PyObject* value, bool accepted, const char* type_message,
                        const char* warning) {
    if (!value) value = Py_None;
    if (value != Py_None && !accepted) return type_error(type_message);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
    replace(field, value == Py_None ? nullptr : value);
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_stored_defaults(as_function(self).defaults, value, value && PyTuple_Check(value),
                               "__defaults__ must be set to a tuple object",
                               "changes to __defaults__ will not affect calls of this function");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_stored_defaults(as_function(self).kwdefaults, value, value && PyDict_Check(value),
                               "__kwdefaults__ must be set to a dict object",
                               "changes to __kwdefaults__ will not affect calls of this function");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function& f = as_function(self);
    if (!f.annotations && !(f.annotations = PyDict_New())) return nullptr;
    return new_ref(f.annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__annotations__ must be set to a dict object");
    replace(as_function(self).annotations, value);
    return 0;
}

PyObject* get_is_coroutine(PyObject*, void*) { return new_ref(Py_False); }

constexpr getter dict_getter = build::generic_function_dict ? PyObject_GenericGetDict : get_dict;
constexpr setter dict_setter = build::generic_function_dict ? PyObject_GenericSetDict : set_dict;

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", dict_getter, dict_setter, nullptr, nullptr},
    {"func_dict", dict_getter, dict_setter, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Filled by field name, since the layout of PyTypeObject differs between versions.
PyTypeObject function_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "korvane_function";
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                    Py_TPFLAGS_METHOD_DESCRIPTOR | compat::have_vectorcall_flag;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(Function, weakrefs);
    type.tp_methods = methods;
    type.tp_getset = getset;
    type.tp_descr_get = function_get;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}();

int ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return 0;
    // PyType_Ready of 3.13.0 can report success with a MemoryError set, when a descriptor could
    // not be entered in the type's dict: that is the failure it is. The insertion that could not
    // grow the dict also leaves it broken, and the next one crashes (its dict.setdefault: see
    // tests/nomemory_gate.py), so the dict is made at its full size first and never grows.
    // _PyDict_NewPresized is private on every version, and the only way to size a dict.
    constexpr Py_ssize_t type_dict_entries = 32;  // PyType_Ready makes 26
    if (!function_type.tp_dict && !(function_type.tp_dict = _PyDict_NewPresized(type_dict_entries)))
        return -1;
    return PyType_Ready(&function_type) < 0 || PyErr_Occurred() ? -1 : 0;
}

Ref make_function(PyMethodDef& entry, PyObject* qualname, PyObject* module_name,
                  PyObject* globals, PyObject* code, PyTypeObject* defining_class) {
    const vectorcallfunc vectorcall = vectorcall_for(entry.ml_flags);
    if (!vectorcall) {
        PyErr_Format(PyExc_SystemError, "%.200s() has an unsupported calling convention (0x%x)",
                     entry.ml_name, entry.ml_flags);
        return {};
    }
    Function* f = PyObject_GC_New(Function, &function_type);
    if (!f) return {};
    f->vectorcall = vectorcall;
    f->entry = &entry;
    f->defining_class = new_xref(defining_class);
    f->name = nullptr;
    f->qualname = new_xref(qualname);
    f->module = new_xref(module_name);
    f->globals = new_xref(globals);
    f->code = new_xref(code);
    f->dict = nullptr;
    f->doc = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

int prepare_functions(ModuleState& state) {
    if (ready_function_type() < 0) return -1;
    // Made once: a retried import after a failed one keeps them.
    if (!state.codes.empty()) return 0;
    const std::span<const FunctionInfo> functions = state.info->functions;
    if (!state.codes.resize(functions.size())) {
        PyErr_NoMemory();
        return -1;
    }
    for (std::size_t i = 0; i < functions.size(); ++i) {
        state.codes[i] = make_code(functions[i], state.constants, state.file_name.get());
        if (!state.codes[i]) {
            state.codes.clear();
            return -1;
        }
    }
    return 0;
}

int define(const ModuleState& state, PyMethodDef& entry, const FunctionInfo& function,
           PyTypeObject* defining_class) {
    const auto index = static_cast<std::size_t>(&function - state.info->functions.data());
    const Ref made = make_function(entry, state.constant(function.name), state.name.get(),
                                   state.dict.get(), state.codes[index].get(), defining_class);
    if (!made) return -1;
    return state.set_global(function.name, made.get());
}

}  // namespace frame
