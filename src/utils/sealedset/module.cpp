// korvane.src.utils.sealedset: the data set as one sealed token, bound to `data`.
//
//  3  data = <the token>
#include "module.hpp"
#include "sealedset_constants.hpp"

namespace {

using namespace korvane::sealedset;

// The module's statements; `line` tells a failure's line to the frame.
int body(frame::ModuleState& s, int& line) {
    // 3: data = <the token>
    line = 3;
    return s.set_global(data, s.constant(token));
}

// The module has no functions. A failure outside its one statement is reported there too.
constexpr frame::ModuleInfo info = frame::describe<"sealedset", "korvane.src.utils.sealedset">(
    3, constant_table, test, {}, body);

frame::Module module(info);

}  // namespace

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_sealedset() { return module.init(); }
