// Reads of module globals by module code: the module dict, then the builtins module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "build.hpp"
#include "compat.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace frame {

// One per place in module code that reads a global. While the module dict's version tag is
// unchanged the cached result stands: the value (borrowed, since the dict holds it) or, when
// null, the name's absence from the dict. No dict has version 0, so a new cache is stale.
struct GlobalCache {
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

// The global `name_slot` names, looked up in builtins when the module dict lacks it;
// NameError when neither has it.
Ref lookup_builtin(const ModuleState& state, std::size_t name_slot);
// The dict lookup by the name's precomputed hash, refreshing `cache`.
Ref lookup_global_slow(const ModuleState& state, std::size_t name_slot, GlobalCache& cache);

// A new reference to the global, or null with the exception set. With an unchanged dict this
// costs a comparison and an incref.
inline Ref lookup_global(const ModuleState& state, std::size_t name_slot, GlobalCache& cache) {
    if constexpr (build::global_lookup_cache) {
        if (compat::dict_version(state.dict.get()) == cache.version) {
            if (cache.value) return Ref::borrow(cache.value);
            return lookup_builtin(state, name_slot);
        }
    }
    return lookup_global_slow(state, name_slot, cache);
}

}  // namespace frame
