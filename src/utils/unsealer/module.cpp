// korvane.src.utils.unsealer: opens the sealed data set and parses it into a DataFrame.
#include <array>
#include <utility>

#include "args.hpp"
#include "call.hpp"
#include "code.hpp"
#include "compat.hpp"
#include "function.hpp"
#include "imports.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "unsealer_constants.hpp"

namespace {

using namespace korvane::unsealer;
using frame::Ref;

constexpr frame::build::FixedString dotted = "korvane.src.utils.unsealer";

// Lines of the module's statements, as tracebacks report them.
namespace line {
constexpr int import_pandas = 1, import_fernet = 2, import_data = 4;
constexpr int decrypt_def = 6, make_cipher = 7, decrypt = 11, import_io = 13, parse = 14,
              decrypt_return = 16;
constexpr int get_def = 18, get_key = 20, get_call = 21;
}  // namespace line

constexpr const char* decrypt_name = "korvane.src.utils.unsealer.decrypt_txt_to_df";
constexpr const char* get_name = "korvane.src.utils.unsealer.get_population_density";

frame::ModuleState& state();

// Made once and kept for the life of the process: the code objects of the two functions and the
// from-lists of the three from-imports, one of which runs on every call.
struct Kept {
    Ref decrypt_code;
    Ref get_code;
    Ref fernet_names;
    Ref data_names;
    Ref io_names;
};
frame::Immortal<Kept> kept;

// Reports a failure of the statement at `at` in `function` and passes it on.
PyObject* fail(const char* function, int at) {
    frame::add_traceback(state(), function, at);
    return nullptr;
}

Ref global(std::size_t name, frame::GlobalCache& cache) {
    return frame::lookup_global(state(), name, cache);
}

// `from module import name`, with `names` the kept one-name from-list.
Ref from_import(std::size_t module, const Ref& names, int level, PyObject* absolute = nullptr) {
    const frame::ModuleState& s = state();
    Ref imported = frame::import_module(s, s.constant(module), names.get(), level, absolute);
    return imported ? frame::import_from(imported.get(), PyTuple_GET_ITEM(names.get(), 0),
                                         s.constant(dot))
                    : Ref();
}

PyObject* decrypt_body(PyObject* key) {
    const frame::ModuleState& s = state();
    static frame::GlobalCache fernet_site, data_site, pd_site;

    Ref fernet = global(Fernet, fernet_site);
    Ref cipher = fernet ? frame::call(s, fernet.get(), {key}) : Ref();
    if (!cipher) return fail(decrypt_name, line::make_cipher);

    Ref decrypted_data;
    if constexpr (frame::build::at_least_3_12) {
        // The global first, then the method fetched and called in one step.
        Ref token = global(data, data_site);
        if (token) {
            PyObject* args[] = {cipher.get(), token.get()};
            decrypted_data = Ref::steal(frame::compat::call_method(s.constant(decrypt), args, 2));
        }
    } else {
        PyObject* self = nullptr;
        Ref method = Ref::steal(frame::compat::fetch_method(cipher.get(), s.constant(decrypt), &self));
        Ref token = method ? global(data, data_site) : Ref();
        if (token)
            decrypted_data = self ? frame::call(s, method.get(), {self, token.get()})
                                  : frame::call(s, method.get(), {token.get()});
    }
    if (!decrypted_data) return fail(decrypt_name, line::decrypt);

    Ref string_io = from_import(io, kept->io_names, 0);
    if (!string_io) return fail(decrypt_name, line::import_io);

    Ref pandas_module = global(pd, pd_site);
    Ref reader = pandas_module ? Ref::steal(PyObject_GetAttr(pandas_module.get(), s.constant(read_csv)))
                               : Ref();
    // decode is fetched and called in one step: no bound method is made.
    PyObject* decode_args[] = {decrypted_data.get()};
    Ref text = reader ? Ref::steal(frame::compat::call_method(s.constant(decode), decode_args, 1))
                      : Ref();
    decrypted_data.reset();  // the plaintext bytes are not needed beside the text
    Ref stream = text ? frame::call(s, string_io.get(), {text.get()}) : Ref();
    text.reset();
    Ref df = stream ? frame::call(s, reader.get(), {stream.get()}) : Ref();
    if (!df) return fail(decrypt_name, line::parse);
    return df.release();
}

PyObject* decrypt_txt_to_df_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    const frame::ModuleState& s = state();
    PyObject* const names[] = {s.constant(key)};
    PyObject* key_value = nullptr;
    if (frame::bind_arguments("decrypt_txt_to_df", names, args, nargs, kwnames, {&key_value, 1}) < 0)
        return fail(decrypt_name, line::decrypt_def);
    return decrypt_body(key_value);
}

PyObject* get_population_density_entry(PyObject*, PyObject*) {
    const frame::ModuleState& s = state();
    static frame::GlobalCache decrypt_site;
    Ref decrypt_function = global(decrypt_txt_to_df, decrypt_site);
    Ref df = decrypt_function ? frame::call(s, decrypt_function.get(), {s.constant(embedded_key)})
                              : Ref();
    if (!df) return fail(get_name, line::get_call);
    return df.release();
}

PyMethodDef decrypt_entry = {"decrypt_txt_to_df", frame::entry_point(decrypt_txt_to_df_entry),
                             METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef get_entry = {"get_population_density", frame::entry_point(get_population_density_entry),
                         METH_NOARGS, nullptr};

// Made once: a retried import after a failed one keeps them.
int make_kept(frame::ModuleState& s) {
    const std::pair<Ref Kept::*, std::size_t> from_lists[] = {
        {&Kept::fernet_names, Fernet}, {&Kept::data_names, data}, {&Kept::io_names, StringIO}};
    for (const auto& [member, name] : from_lists) {
        Ref& names = (*kept).*member;
        if (!names && !(names = Ref::steal(PyTuple_Pack(1, s.constant(name))))) return -1;
    }
    if (kept->decrypt_code && kept->get_code) return 0;
    PyObject* const decrypt_locals[] = {s.constant(key), s.constant(cipher),
                                        s.constant(decrypted_data), s.constant(StringIO),
                                        s.constant(df)};
    PyObject* const get_locals[] = {s.constant(key)};
    Ref decrypt_lines, get_lines;
    if constexpr (frame::build::code_has_locations) {
        constexpr std::array decrypt_statements{line::make_cipher, line::decrypt, line::import_io,
                                                line::parse, line::decrypt_return};
        constexpr std::array get_statements{line::get_key, line::get_call};
        decrypt_lines = frame::location_table(line::decrypt_def, decrypt_statements);
        get_lines = frame::location_table(line::get_def, get_statements);
        if (!decrypt_lines || !get_lines) return -1;
    }
    Ref made_decrypt = frame::make_code(1, decrypt_locals, s.constant(file_name),
                                        s.constant(decrypt_txt_to_df), line::decrypt_def,
                                        decrypt_lines.get());
    if (!made_decrypt) return -1;
    Ref made_get = frame::make_code(0, get_locals, s.constant(file_name),
                                    s.constant(get_population_density), line::get_def,
                                    get_lines.get());
    if (!made_get) return -1;
    kept->decrypt_code = std::move(made_decrypt);
    kept->get_code = std::move(made_get);
    return 0;
}

int bind_function(frame::ModuleState& s, PyMethodDef& entry, std::size_t name, const Ref& code) {
    Ref function = frame::make_function(entry, s.constant(name), s.constant(module_name),
                                        s.dict.get(), code.get());
    return function ? s.set_global(name, function.get()) : -1;
}

int body(frame::ModuleState& s, int& at) {
    at = line::import_pandas;
    Ref pandas_module = frame::import_dotted(s, s.constant(pandas));
    if (!pandas_module || s.set_global(pd, pandas_module.get()) < 0) return -1;

    at = line::import_fernet;
    Ref fernet = from_import(cryptography_fernet, kept->fernet_names, 0);
    if (!fernet || s.set_global(Fernet, fernet.get()) < 0) return -1;

    at = line::import_data;
    Ref token = from_import(sealedset, kept->data_names, 1, s.constant(sealedset_absolute));
    if (!token || s.set_global(data, token.get()) < 0) return -1;

    at = line::decrypt_def;
    if (bind_function(s, decrypt_entry, decrypt_txt_to_df, kept->decrypt_code) < 0) return -1;
    at = line::get_def;
    return bind_function(s, get_entry, get_population_density, kept->get_code);
}

constexpr frame::ModuleInfo info = frame::describe<"unsealer", dotted>(
    line::import_pandas, constant_table, test, make_kept, body);

frame::Module module(info);

frame::ModuleState& state() { return module.state(); }

}  // namespace

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_unsealer() { return module.init(); }
