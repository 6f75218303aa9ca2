// What a module describes, and the one implementation of the create and execute slots that
// runs any such description.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "array.hpp"
#include "build.hpp"
#include "code.hpp"
#include "constants.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace frame {

struct ModuleState;

struct ModuleInfo {
    const char* name;         // "sealedset"
    const char* dotted_name;  // "korvane.src.utils.sealedset"
    const char* file_name;    // the traceback and code object file name
    const char* init_name;    // the traceback function name of a failing execution
    int init_line;            // the line of a failure outside any body statement
    const ConstantTable* constants;
    std::size_t test_name_slot;  // the constant "__test__"
    // The module's functions; their code objects are made once, before the body first runs.
    std::span<const FunctionInfo> functions;
    // Readies the function type and makes the code objects; null for a module without
    // functions, whose library then carries no function machinery.
    int (*prepare_functions)(ModuleState&);
    // Runs the module's statements; on failure sets `line` to the failing one and returns -1.
    int (*body)(ModuleState&, int& line);
};

// Process-wide: bound to one interpreter, filled by the slots, never torn down. Every Ref is
// the state's own reference.
struct ModuleState {
    const ModuleInfo* info = nullptr;
    std::int64_t interpreter_id = -1;
    Ref module;
    Ref dict;
    Ref builtins;
    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
    Ref name;          // info->dotted_name, interned: the __module__ of the module's functions
    Ref file_name;     // info->file_name as a str
    Constants constants;
    Array<Ref> codes;  // the code objects of info->functions, in order
    TracebackCache tracebacks;

    [[nodiscard]] PyObject* constant(std::size_t slot) const noexcept { return constants[slot]; }
    [[nodiscard]] Py_hash_t hash(std::size_t slot) const noexcept { return constants.hashes[slot]; }
    // Binds a module global; -1 with the exception set on failure.
    int set_global(std::size_t name_slot, PyObject* value) const {
        return PyDict_SetItem(dict.get(), constant(name_slot), value);
    }
};

// Readies the function type and makes the code objects of the module's functions (function.cpp).
int prepare_functions(ModuleState& state);

// `def name(...)` in a module body: a function object for `entry`, described by `function` (one
// of the module's), bound to the global of its name. -1 with the exception set on failure.
int define(const ModuleState& state, PyMethodDef& entry, const FunctionInfo& function,
           PyTypeObject* defining_class = nullptr);

// A module's description with the names derived from its dotted name.
template <build::FixedString Name, build::FixedString Dotted>
constexpr ModuleInfo describe(int init_line, const ConstantTable& constants,
                              std::size_t test_name_slot,
                              std::span<const FunctionInfo> functions,
                              int (*body)(ModuleState&, int&)) {
    return {Name.c_str(),
            Dotted.c_str(),
            build::file_name_of<Dotted>.c_str(),
            build::init_name_of<Dotted>.c_str(),
            init_line,
            &constants,
            test_name_slot,
            functions,
            functions.empty() ? nullptr : prepare_functions,
            body};
}

// One extension module: its definition as the interpreter sees it, and its state.
class Module {
public:
    explicit Module(const ModuleInfo& info);
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The body of PyInit_<name>.
    PyObject* init() { return PyModuleDef_Init(&def_); }
    ModuleState& state() { return *state_; }

    static Module& of(PyModuleDef* def) { return *reinterpret_cast<Module*>(def); }

private:
    PyModuleDef def_;  // first, so that the slots can find the module from its definition
    Immortal<ModuleState> state_;
};

}  // namespace frame
