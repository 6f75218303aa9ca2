// Code objects of module functions: what introspection reads (parameters, local names, file
// and lines); never executed.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "constants.hpp"
#include "ref.hpp"

namespace frame {

// What a module function's code object says, by constant slots and lines.
struct FunctionInfo {
    std::size_t name;                     // its name
    int parameters;                       // how many of `locals` are parameters
    std::span<const std::size_t> locals;  // its local names, parameters first
    int line;                             // the line of its `def`
    std::span<const int> statements;      // the lines of its body's statements, in order
};

// The code object of an optimised function with fresh locals and no docstring, its parameters
// positional-or-keyword. Up to 3.11 it has no byte code and no line table; from 3.12 it has
// placeholder byte code of zeros, one code unit for the `def` line and one for each statement,
// and a location table that maps them to those lines.
Ref make_code(const FunctionInfo& function, const Constants& constants, PyObject* filename);

}  // namespace frame
