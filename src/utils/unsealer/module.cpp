// korvane.src.utils.unsealer: opens the sealed data set and parses it into a DataFrame.
//
//  1  import pandas as pd
//  2  from cryptography.fernet import Fernet
//  4  from .sealedset import data
//  6  def decrypt_txt_to_df(key):
//  7      cipher = Fernet(key)
// 11      decrypted_data = cipher.decrypt(data)
// 13      from io import StringIO
// 14      df = pd.read_csv(StringIO(decrypted_data.decode()))
// 16      return df
// 18  def get_population_density():
// 20      key = <the embedded key>
// 21      return decrypt_txt_to_df(key)
#include "args.hpp"
#include "call.hpp"
#include "function.hpp"
#include "imports.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "unsealer_constants.hpp"

namespace {

using namespace korvane::unsealer;
using frame::Ref;

constexpr frame::build::FixedString dotted = "korvane.src.utils.unsealer";

frame::ModuleState& state();

// Reports a failure of the statement at `line` of `function` and passes it on.
PyObject* fail(const char* function, int line) {
    frame::add_traceback(state(), function, line);
    return nullptr;
}

Ref global(std::size_t name, frame::GlobalCache& cache) {
    return frame::lookup_global(state(), name, cache);
}

// The functions, as their code objects describe them.

constexpr const char* decrypt_name = "korvane.src.utils.unsealer.decrypt_txt_to_df";
constexpr std::size_t decrypt_locals[] = {key, cipher, decrypted_data, StringIO, df};
constexpr int decrypt_lines[] = {7, 11, 13, 14, 16};

constexpr const char* get_name = "korvane.src.utils.unsealer.get_population_density";
constexpr std::size_t get_locals[] = {key};
constexpr int get_lines[] = {20, 21};

constexpr frame::FunctionInfo functions[] = {
    {decrypt_txt_to_df, 1, decrypt_locals, 6, decrypt_lines},
    {get_population_density, 0, get_locals, 18, get_lines},
};
const frame::FunctionInfo& decrypt_function = functions[0];
const frame::FunctionInfo& get_function = functions[1];

PyObject* decrypt_body(PyObject* key) {
    const frame::ModuleState& s = state();
    static frame::GlobalCache fernet_site, data_site, pd_site;

    // 7: cipher = Fernet(key)
    Ref fernet = global(Fernet, fernet_site);
    if (!fernet) return fail(decrypt_name, 7);
    Ref cipher = frame::call(s, fernet.get(), {key});
    if (!cipher) return fail(decrypt_name, 7);

    // 11: decrypted_data = cipher.decrypt(data)
    Ref decrypted_data =
        frame::call_method(s, cipher.get(), decrypt, [] { return global(data, data_site); });
    if (!decrypted_data) return fail(decrypt_name, 11);

    // 13: from io import StringIO
    Ref string_io = frame::from_import(s, io, io_from_list);
    if (!string_io) return fail(decrypt_name, 13);

    // 14: df = pd.read_csv(StringIO(decrypted_data.decode())); the plaintext bytes and the text
    // are each let go as soon as the next step has what it needs.
    Ref pandas_module = global(pd, pd_site);
    if (!pandas_module) return fail(decrypt_name, 14);
    Ref reader = Ref::steal(PyObject_GetAttr(pandas_module.get(), s.constant(read_csv)));
    if (!reader) return fail(decrypt_name, 14);
    Ref text = frame::call_method(s, decrypted_data.get(), decode);
    if (!text) return fail(decrypt_name, 14);
    decrypted_data.reset();
    Ref stream = frame::call(s, string_io.get(), {text.get()});
    if (!stream) return fail(decrypt_name, 14);
    text.reset();
    Ref df = frame::call(s, reader.get(), {stream.get()});
    if (!df) return fail(decrypt_name, 14);

    // 16: return df
    return df.release();
}

// 6: def decrypt_txt_to_df(key): argument errors are reported at the def.
PyObject* decrypt_txt_to_df_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* const names[] = {state().constant(key)};
    PyObject* key_value = nullptr;
    if (frame::bind_arguments("decrypt_txt_to_df", names, args, nargs, kwnames, {&key_value, 1}) < 0)
        return fail(decrypt_name, 6);
    return decrypt_body(key_value);
}

PyObject* get_population_density_entry(PyObject*, PyObject*) {
    const frame::ModuleState& s = state();
    static frame::GlobalCache decrypt_site;

    // 20: key = <the embedded key>; a constant, which cannot fail.
    PyObject* embedded = s.constant(embedded_key);

    // 21: return decrypt_txt_to_df(key)
    Ref decrypt_function = global(decrypt_txt_to_df, decrypt_site);
    if (!decrypt_function) return fail(get_name, 21);
    Ref df = frame::call(s, decrypt_function.get(), {embedded});
    if (!df) return fail(get_name, 21);
    return df.release();
}

PyMethodDef decrypt_entry = {"decrypt_txt_to_df", frame::entry_point(decrypt_txt_to_df_entry),
                             METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef get_entry = {"get_population_density", frame::entry_point(get_population_density_entry),
                         METH_NOARGS, nullptr};

// The module's statements; `line` tells a failure's line to the frame.
int body(frame::ModuleState& s, int& line) {
    // 1: import pandas as pd
    line = 1;
    Ref pandas_module = frame::import_dotted(s, s.constant(pandas));
    if (!pandas_module) return -1;
    if (s.set_global(pd, pandas_module.get()) < 0) return -1;

    // 2: from cryptography.fernet import Fernet
    line = 2;
    Ref fernet = frame::from_import(s, cryptography_fernet, fernet_from_list);
    if (!fernet) return -1;
    if (s.set_global(Fernet, fernet.get()) < 0) return -1;

    // 4: from .sealedset import data
    line = 4;
    Ref token = frame::from_import_relative(s, sealedset, data_from_list, sealedset_absolute);
    if (!token) return -1;
    if (s.set_global(data, token.get()) < 0) return -1;

    // 6: def decrypt_txt_to_df(key)
    line = 6;
    if (frame::define(s, decrypt_entry, decrypt_function) < 0) return -1;

    // 18: def get_population_density()
    line = 18;
    return frame::define(s, get_entry, get_function);
}

// A failure outside the statements (the module's set-up) is reported at its first line.
constexpr frame::ModuleInfo info =
    frame::describe<"unsealer", dotted>(1, constant_table, test, functions, body);

frame::Module module(info);

frame::ModuleState& state() { return module.state(); }

}  // namespace

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_unsealer() { return module.init(); }
