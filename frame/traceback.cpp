#include "traceback.hpp"

#include <frameobject.h>

#include "compat.hpp"
#include "module.hpp"

namespace frame {

Ref TracebackCache::code_for(const char* file_name, const char* function, int line) {
    for (const Entry& entry : entries_)
        if (entry.function == function && entry.line == line) return entry.code;

    // The code object carries the line as its first line, which is where every supported
    // interpreter reads a frame's line from when the code has no byte code.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function, line)));
    if (!code) return code;
    // When the cache cannot grow, the entry is still made, just not remembered.
    if (entries_.size() < entries_.capacity() || entries_.reserve(entries_.size() + growth))
        (void)entries_.push_back({function, line, code});
    return code;
}

void add_traceback(ModuleState& state, const char* function, int line) {
    compat::PendingError pending;
    Ref code = state.tracebacks.code_for(state.info->file_name, function, line);
    if (!code) return;
    Ref py_frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    state.dict.get(), nullptr)));
    if (!py_frame) return;
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(py_frame.get()));
}

}  // namespace frame
