#include "imports.hpp"

#include "build.hpp"
#include "compat.hpp"

namespace frame {
namespace {

// An interned name made on first use and kept for the life of the process; null with the
// exception set while it cannot be made.
template <build::FixedString Text>
PyObject* interned() {
    static PyObject* name = nullptr;
    if (!name) name = PyUnicode_InternFromString(Text.c_str());
    return name;
}

// The sys.modules entry under `name`, without importing: empty when there is none, empty with
// the exception set when the lookup failed.
Ref loaded_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_CheckExact(modules)) return Ref::borrow(PyDict_GetItemWithError(modules, name));
    Ref found = Ref::steal(PyObject_GetItem(modules, name));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return found;
}

// Whether `module` has every attribute of `names`; a failing lookup counts as missing.
bool has_all(PyObject* module, std::span<PyObject* const> names) {
    for (PyObject* name : names) {
        Ref value;
        if (compat::optional_attr(module, name, value) <= 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Whether a module found in sys.modules is still being imported by someone: its
// __spec__._initializing. A value that cannot be read counts as false, one whose truth cannot
// be decided as true.
bool initializing(PyObject* module) {
    PyObject* spec_name = interned<"__spec__">();
    PyObject* flag_name = interned<"_initializing">();
    if (!spec_name || !flag_name) {
        PyErr_Clear();
        return false;
    }
    Ref spec = Ref::steal(PyObject_GetAttr(module, spec_name));
    Ref flag = spec ? Ref::steal(PyObject_GetAttr(spec.get(), flag_name)) : Ref();
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    if (flag.get() == Py_True) return true;
    if (flag.get() == Py_False || flag.get() == Py_None) return false;
    const int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) PyErr_Clear();
    return truth != 0;
}

Ref from_import_at(const ModuleState& state, std::size_t module_slot, std::size_t from_list_slot,
                   int level, PyObject* absolute_name) {
    PyObject* from_list = state.constant(from_list_slot);
    const Ref module =
        import_module(state, state.constant(module_slot), from_list, level, absolute_name);
    if (!module) return {};
    return import_from(module.get(), PyTuple_GET_ITEM(from_list, 0));
}

// The attribute was missing: the submodule `module.__name__ + "." + name` if sys.modules has
// it. Only a missing attribute gets here, and only a missing one there is reported as
// ImportError; any other failure (MemoryError) is passed on as it is.
[[gnu::cold, gnu::noinline]] Ref loaded_submodule(PyObject* module, PyObject* name) {
    PyErr_Clear();
    PyObject* dunder_name = interned<"__name__">();
    PyObject* dot = interned<".">();
    if (!dunder_name || !dot) return {};
    Ref module_name = Ref::steal(PyObject_GetAttr(module, dunder_name));
    if (!module_name && !PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref prefix = Ref::steal(PyUnicode_Concat(module_name.get(), dot));
        Ref full_name = prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), name)) : Ref();
        if (!full_name) return {};
        Ref value = loaded_module(full_name.get());
        if (value || PyErr_Occurred()) return value;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

}  // namespace

Ref import_module(const ModuleState& state, PyObject* name, PyObject* from_list, int level,
                  PyObject* absolute_name) {
    const Py_ssize_t wanted = from_list ? PyTuple_GET_SIZE(from_list) : 0;
    if constexpr (build::import_shortcut) {
        PyObject* target = level == 0 ? name : absolute_name;
        if (wanted && target) {
            Ref module = loaded_module(target);
            const std::span<PyObject* const> names{PySequence_Fast_ITEMS(from_list),
                                                   static_cast<std::size_t>(wanted)};
            if (module && has_all(module.get(), names)) return module;
            PyErr_Clear();
        }
    }
    // The locals are None, as from a function body: the import function does not read them.
    return Ref::steal(PyImport_ImportModuleLevelObject(name, state.dict.get(), Py_None,
                                                      wanted ? from_list : nullptr, level));
}

Ref import_module(const ModuleState& state, PyObject* name, std::span<PyObject* const> from_list,
                  int level, PyObject* absolute_name) {
    Ref names;
    if (!from_list.empty()) {
        names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(from_list.size())));
        if (!names) return {};
        for (std::size_t i = 0; i < from_list.size(); ++i) {
            Py_INCREF(from_list[i]);
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), from_list[i]);
        }
    }
    return import_module(state, name, names.get(), level, absolute_name);
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    return loaded_submodule(module, name);
}

Ref from_import(const ModuleState& state, std::size_t module_slot, std::size_t from_list_slot) {
    return from_import_at(state, module_slot, from_list_slot, 0, nullptr);
}

Ref from_import_relative(const ModuleState& state, std::size_t module_slot,
                         std::size_t from_list_slot, std::size_t absolute_slot) {
    return from_import_at(state, module_slot, from_list_slot, 1, state.constant(absolute_slot));
}

Ref import_dotted(const ModuleState& state, PyObject* name) {
    Ref module = loaded_module(name);
    // None in sys.modules blocks the import; the import function reports it.
    if (module.get() == Py_None) module.reset();
    if constexpr (build::import_shortcut) {
        if (module || PyErr_Occurred()) return module;
    } else {
        if (module && !initializing(module.get())) return module;
        PyErr_Clear();
    }
    Ref top = import_module(state, name, nullptr, 0);
    // Without a from-list the import function answers with the top-level package; the module
    // itself is what the import entered in sys.modules.
    if (!top || PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1) == -1) return top;
    module = loaded_module(name);
    if (!module && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return module;
}

}  // namespace frame
