// Imports made by module code, on behalf of the module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "module.hpp"
#include "ref.hpp"

namespace frame {

// `import name` (empty `from_list`) or `from name import ...` at `level` (0 absolute, 1 relative
// to the module's package), with the module dict as globals. From 3.12 a from-list import first
// takes the sys.modules entry under `absolute_name` (`name` itself at level 0) when it has every
// requested attribute.
Ref import_module(const ModuleState& state, PyObject* name, std::span<PyObject* const> from_list,
                  int level, PyObject* absolute_name = nullptr);

// The same with the from-list as a tuple of names (null for none), as compiled code passes it:
// code that imports on every call keeps its tuple instead of building one each time.
Ref import_module(const ModuleState& state, PyObject* name, PyObject* from_list, int level,
                  PyObject* absolute_name = nullptr);

// `name` from an imported module, falling back to the sys.modules entry
// module.__name__ + "." + name for a submodule that is not (yet) an attribute. ImportError
// "cannot import name NAME" when neither exists.
Ref import_from(PyObject* module, PyObject* name);

// `from module import name` as a statement: `module_slot` names the module, `from_list_slot`
// the kept from-list (name,); the imported module's attribute, or the submodule, as import_from.
Ref from_import(const ModuleState& state, std::size_t module_slot, std::size_t from_list_slot);

// `from .module import name`, relative to the package, `absolute_slot` naming the module in
// full for the sys.modules shortcut.
Ref from_import_relative(const ModuleState& state, std::size_t module_slot,
                         std::size_t from_list_slot, std::size_t absolute_slot);

// The module `name` itself (not its top-level package): the sys.modules entry unless that is
// still initialising (up to 3.11; from 3.12 any entry), else imported absolutely.
Ref import_dotted(const ModuleState& state, PyObject* name);

}  // namespace frame
