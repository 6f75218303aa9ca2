// Code objects of module functions: what introspection reads (parameters, local names, file
// and first line); never executed.
#pragma once

#include <Python.h>

#include <span>

#include "ref.hpp"

namespace frame {

// A 3.11+ location table that maps one code unit to `first_line` and one more to each of
// `statement_lines`, without columns.
Ref location_table(int first_line, std::span<const int> statement_lines);

// A code object of an optimised function with fresh locals and no docstring: `argcount`
// positional-or-keyword parameters, the first of `varnames`. Up to 3.11 it has no byte code
// and no line table; from 3.12 it has placeholder byte code of zeros, one code unit for each
// entry of `locations` (a location table as above; null for one that covers the first line).
Ref make_code(int argcount, std::span<PyObject* const> varnames, PyObject* filename,
              PyObject* name, int firstlineno, PyObject* locations = nullptr);

}  // namespace frame
