#include "module.hpp"

#include <cstdio>
#include <type_traits>

#include "build.hpp"
#include "compat.hpp"

namespace frame {
namespace {

static_assert(std::is_standard_layout_v<Module>);

// The running interpreter's major and minor version.
struct Version {
    int major = 0;
    int minor = 0;
};

Version runtime_version() {
    if (unsigned long hex = compat::runtime_version_hex())
        return {static_cast<int>((hex >> 24) & 0xFF), static_cast<int>((hex >> 16) & 0xFF)};
    // Older interpreters: the leading "3.11.7" of the version string.
    int parts[4] = {};
    const char* p = Py_GetVersion();
    for (int i = 0; i < 4 && *p >= '0' && *p <= '9'; ++i) {
        for (; *p >= '0' && *p <= '9'; ++p) parts[i] = parts[i] * 10 + (*p - '0');
        if (*p != '.') break;
        ++p;
    }
    return {parts[0], parts[1]};
}

int check_version(const ModuleInfo& info) {
    const Version running = runtime_version();
    if (running.major == build::python_major && running.minor == build::python_minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  build::python_major, build::python_minor, info.dotted_name, "does not match",
                  running.major, running.minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Copies spec.<attr> into the module dict as `key`; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                   bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef* def) {
    ModuleState& state = Module::of(def).state();

    const std::int64_t id = PyInterpreterState_GetID(compat::current_interpreter());
    if (id == -1) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return state.module.new_ref();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Enters the module in sys.modules under its dotted name unless something is there already.
// Returns 1 when it made the entry, 0 when it left one alone, -1 on failure.
int register_module(ModuleState& state) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PySequence_Contains(modules, state.name.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyObject_SetItem(modules, state.name.get(), state.module.get()) < 0 ? -1 : 1;
}

// Takes back a sys.modules entry that this execution made for a module that then failed.
void unregister_module(ModuleState& state) {
    compat::PendingError pending;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyObject* entry = PyDict_GetItemString(modules, state.info->dotted_name);
        entry == state.module.get())
        PyDict_DelItemString(modules, state.info->dotted_name);
    PyErr_Clear();
    pending.restore();
}

int execute(PyObject* module) {
    Module& self = Module::of(PyModule_GetDef(module));
    ModuleState& state = self.state();
    const ModuleInfo& info = *state.info;

    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     info.name);
        return -1;
    }
    state.module = Ref::borrow(module);

    int line = info.init_line;
    bool registered = false;
    // Everything from registration on reports an "init" traceback entry.
    const auto run = [&]() -> int {
        state.dict = Ref::borrow(PyModule_GetDict(module));
        state.builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!state.builtins ||
            PyObject_SetAttrString(module, "__builtins__", state.builtins.get()) < 0)
            return -1;
        if (check_version(info) < 0) return -1;
        if (!state.empty_tuple) state.empty_tuple = Ref::steal(PyTuple_New(0));
        if (!state.empty_bytes) state.empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
        if (!state.empty_str) state.empty_str = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        if (!state.name) state.name = Ref::steal(PyUnicode_InternFromString(info.dotted_name));
        if (!state.file_name) state.file_name = Ref::steal(PyUnicode_FromString(info.file_name));
        if (!state.empty_tuple || !state.empty_bytes || !state.empty_str || !state.name ||
            !state.file_name)
            return -1;
        if (!state.constants.ready() && create_constants(*info.constants, state.constants) < 0)
            return -1;

        const auto traced = [&](int result) {
            if (result < 0) add_traceback(state, info.init_name, line);
            return result;
        };
        const int made = register_module(state);
        if (made < 0) return traced(-1);
        registered = made == 1;
        if (info.prepare_functions && info.prepare_functions(state) < 0) return traced(-1);
        if (info.body(state, line) < 0) return traced(-1);
        line = info.init_line;
        Ref test = Ref::steal(PyDict_New());
        if (!test || state.set_global(info.test_name_slot, test.get()) < 0)
            return traced(-1);
        return 0;
    };
    if (run() == 0) return 0;

    if (registered) unregister_module(state);
    state.module.reset();
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create)},
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

}  // namespace

Module::Module(const ModuleInfo& info)
    : def_{PyModuleDef_HEAD_INIT, info.name, nullptr, 0, nullptr, slots, nullptr, nullptr,
           nullptr} {
    state_->info = &info;
}

}  // namespace frame
