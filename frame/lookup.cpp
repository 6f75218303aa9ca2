#include "lookup.hpp"

namespace frame {

Ref lookup_builtin(const ModuleState& state, std::size_t name_slot) {
    PyObject* name = state.constant(name_slot);
    Ref value;
    if (compat::optional_attr(state.builtins.get(), name, value) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

Ref lookup_global_slow(const ModuleState& state, std::size_t name_slot, GlobalCache& cache) {
    PyObject* dict = state.dict.get();
    // Private on every supported version: the lookup with the name's hash computed once, at
    // import, as the interpreter's own global reads have it in the name object.
    PyObject* value = _PyDict_GetItem_KnownHash(dict, state.constant(name_slot), state.hash(name_slot));
    if (!value && PyErr_Occurred()) return {};
    if constexpr (build::global_lookup_cache) cache = {compat::dict_version(dict), value};
    if (value) return Ref::borrow(value);
    return lookup_builtin(state, name_slot);
}

}  // namespace frame
