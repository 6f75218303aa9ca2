// korvane.src.utils.sealedset: the data set as one sealed token, bound to `data`.
#include "module.hpp"
#include "sealedset_constants.hpp"

namespace {

using namespace korvane::sealedset;

// The module's one statement; every failure of its execution is reported here.
constexpr int statement_line = 3;

int body(frame::ModuleState& state, int& line) {
    line = statement_line;
    return state.set_global(data, state.constant(token));
}

constexpr frame::ModuleInfo info = frame::describe<"sealedset", "korvane.src.utils.sealedset">(
    statement_line, constant_table, test, nullptr, body);

frame::Module module(info);

}  // namespace

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_sealedset() { return module.init(); }
