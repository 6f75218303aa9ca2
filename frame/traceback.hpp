// Traceback entries for failures inside a module: the function, the module's file and a line.
#pragma once

#include <Python.h>

#include <cstddef>

#include "array.hpp"
#include "ref.hpp"

namespace frame {

// Code objects made for earlier entries, so a repeated failure makes no new ones.
class TracebackCache {
public:
    static constexpr std::size_t growth = 64;

    // A new reference to the code object for (function, line), made on first use.
    Ref code_for(const char* file_name, const char* function, int line);

private:
    struct Entry {
        const char* function;  // static storage: compared by address
        int line;
        Ref code;
    };
    Array<Entry> entries_;
};

struct ModuleState;

// Appends an entry to the traceback of the exception being raised. When the entry itself
// cannot be made, that failure replaces the exception.
void add_traceback(ModuleState& state, const char* function, int line);

}  // namespace frame
