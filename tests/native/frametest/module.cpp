// korvane.tests.frametest: functions of every calling convention the frame accepts, and thin
// entry points into its look-ups, calls and imports, for the tests. Never installed.
#include <array>
#include <cstddef>

#include "args.hpp"
#include "call.hpp"
#include "compat.hpp"
#include "frametest_constants.hpp"
#include "function.hpp"
#include "imports.hpp"
#include "lookup.hpp"
#include "module.hpp"

namespace {

using namespace korvane::frametest;

frame::ModuleState& state();

PyObject* no_keywords(const char* function, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames))
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
    return nullptr;
}

// noargs(): the function object itself, which is what entry points receive as `self`.
PyObject* noargs(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

// echo(key) -> key; argument errors are reported at its first line.
PyObject* echo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const names[] = {state().constant(key)};
    std::array<PyObject*, 1> values{};
    if (frame::bind_arguments("echo", names, args, nargs, kwnames, values) < 0) {
        frame::add_traceback(state(), "korvane.tests.frametest.echo", 20);
        return nullptr;
    }
    Py_INCREF(values[0]);
    return values[0];
}

// pair(a, b) -> (a, b)
PyObject* pair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const names[] = {state().constant(a), state().constant(b)};
    std::array<PyObject*, 2> values{};
    if (frame::bind_arguments("pair", names, args, nargs, kwnames, values) < 0) {
        frame::add_traceback(state(), "korvane.tests.frametest.pair", 30);
        return nullptr;
    }
    return PyTuple_Pack(2, values[0], values[1]);
}

// one(x) -> x
PyObject* one(PyObject*, PyObject* arg) {
    Py_INCREF(arg);
    return arg;
}

// varkw(*args, **kwargs) -> (args, kwargs or None)
PyObject* varkw(PyObject*, PyObject* args, PyObject* kwargs) {
    return PyTuple_Pack(2, args, kwargs ? kwargs : Py_None);
}

// method(*args) -> (defining class, number of positional arguments, keyword names or None)
PyObject* method(PyObject*, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                 PyObject* kwnames) {
    return Py_BuildValue("(OnO)", cls ? reinterpret_cast<PyObject*>(cls) : Py_None, nargs,
                         kwnames ? kwnames : Py_None);
}

// try_flags(flags): makes (and drops) a function with that calling convention.
PyObject* try_flags(PyObject*, PyObject* arg) {
    const long flags = PyLong_AsLong(arg);
    if (flags == -1 && PyErr_Occurred()) return nullptr;
    PyMethodDef entry{"probe_flags", frame::entry_point(&one), static_cast<int>(flags), nullptr};
    const frame::Ref made = frame::make_function(entry, state().constant(fn_try_flags),
                                                 state().name.get(), state().dict.get(), nullptr);
    if (!made) return nullptr;
    Py_INCREF(Py_True);
    return Py_True;
}

// lookup(name): the global through the one use site of that name.
PyObject* lookup(PyObject*, PyObject* name) {
    struct Site {
        std::size_t slot;
        frame::GlobalCache cache;
    };
    static std::array<Site, 3> sites{{{g_x, {}}, {g_len, {}}, {g_undefined, {}}}};
    for (Site& site : sites) {
        const int equal = PyObject_RichCompareBool(name, state().constant(site.slot), Py_EQ);
        if (equal < 0) return nullptr;
        if (equal) return frame::lookup_global(state(), site.slot, site.cache).release();
    }
    PyErr_Format(PyExc_ValueError, "no use site for %R", name);
    return nullptr;
}

// vectorcall(f, values, kwnames): f through vectorcall, the last len(kwnames) values being
// keyword arguments under those names, whatever a C caller may put there.
PyObject* vectorcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return no_keywords("vectorcall", kwnames);
    if (nargs != 3 || !PyTuple_Check(args[1]) || !PyTuple_Check(args[2]) ||
        PyTuple_GET_SIZE(args[2]) > PyTuple_GET_SIZE(args[1])) {
        PyErr_SetString(PyExc_TypeError, "vectorcall(f, values, kwnames) with enough values");
        return nullptr;
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(args[2]);
    const Py_ssize_t npos = PyTuple_GET_SIZE(args[1]) - nkw;
    PyObject* const* values = reinterpret_cast<PyTupleObject*>(args[1])->ob_item;
    return frame::compat::vectorcall(args[0], values, static_cast<std::size_t>(npos),
                                     nkw ? args[2] : nullptr)
        .release();
}

// read_x(n): the global x read n times through one use site, for timing.
PyObject* read_x(PyObject*, PyObject* arg) {
    static frame::GlobalCache cache;
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    frame::Ref value;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!(value = frame::lookup_global(state(), g_x, cache))) return nullptr;
    return value ? value.release() : frame::Ref::borrow(Py_None).release();
}

// call(f, *args): f(*args) the way module code calls.
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return no_keywords("call", kwnames);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "call() needs a callable");
        return nullptr;
    }
    return frame::call(state(), args[0], args + 1, static_cast<std::size_t>(nargs - 1)).release();
}

// call_self(x): x(x)
PyObject* call_self(PyObject*, PyObject* arg) { return frame::call(state(), arg, {arg}).release(); }

// Entry points that return nothing without raising.
PyObject* null_noargs(PyObject*, PyObject*) { return nullptr; }
PyObject* null_fast(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return nullptr; }

// probe(recurse): a callable with tp_call only, which returns nothing without raising or,
// when `recurse` is true, calls itself through the frame forever.
struct Probe {
    PyObject ob_base;
    bool recurse;
};

PyObject* probe_call(PyObject* self, PyObject*, PyObject*) {
    if (!reinterpret_cast<Probe*>(self)->recurse) return nullptr;
    return frame::call(state(), self, nullptr, 0).release();
}

PyTypeObject probe_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "frametest.Probe";
    type.tp_basicsize = sizeof(Probe);
    type.tp_call = probe_call;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    return type;
}();

PyObject* probe(PyObject*, PyObject* arg) {
    const int recurse = PyObject_IsTrue(arg);
    if (recurse < 0) return nullptr;
    Probe* made = PyObject_New(Probe, &probe_type);
    if (made) made->recurse = recurse;
    return reinterpret_cast<PyObject*>(made);
}

PyObject* optional(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t i) {
    return i < nargs && args[i] != Py_None ? args[i] : nullptr;
}

// import_(name, fromname=None, level=0, absolute=None)
PyObject* import_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return no_keywords("import_", kwnames);
    if (nargs < 1 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "import_() takes 1 to 4 arguments");
        return nullptr;
    }
    PyObject* from = optional(args, nargs, 1);
    const long level = nargs > 2 ? PyLong_AsLong(args[2]) : 0;
    if (level == -1 && PyErr_Occurred()) return nullptr;
    const std::size_t count = from ? 1 : 0;
    return frame::import_module(state(), args[0], {&from, count}, static_cast<int>(level),
                                optional(args, nargs, 3))
        .release();
}

// import_name(module, name)
PyObject* import_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return no_keywords("import_name", kwnames);
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "import_name() takes 2 arguments");
        return nullptr;
    }
    return frame::import_from(args[0], args[1]).release();
}

// import_dotted(name)
PyObject* import_dotted(PyObject*, PyObject* arg) {
    return frame::import_dotted(state(), arg).release();
}

// switches(): what this build decided by the interpreter version, as the tests expect it of
// every library built for that interpreter.
PyObject* switches(PyObject*, PyObject*) {
    namespace build = frame::build;
    const char separator[] = {build::path_separator, '\0'};
    return Py_BuildValue(
        "{s:s,s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:N}", "path_separator", separator,
        "compressed_constants", PyBool_FromLong(constant_table.stream != nullptr),
        "global_lookup_cache", PyBool_FromLong(build::global_lookup_cache),
        "import_shortcut", PyBool_FromLong(build::import_shortcut),
        "keywords_before_count", PyBool_FromLong(build::keywords_before_count),
        "generic_function_dict", PyBool_FromLong(build::generic_function_dict),
        "method_convention", PyBool_FromLong(build::method_convention),
        "code_has_locations", PyBool_FromLong(build::code_has_locations),
        "method_call_in_one_step", PyBool_FromLong(build::method_call_in_one_step));
}

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef entries[] = {
    {"noargs", frame::entry_point(&noargs), METH_NOARGS, nullptr},
    {"echo", frame::entry_point(&echo), fast, nullptr},
    {"pair", frame::entry_point(&pair), fast, nullptr},
    {"one", frame::entry_point(&one), METH_O, nullptr},
    {"varkw", frame::entry_point(&varkw), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"method", frame::entry_point(&method), frame::compat::meth_method | fast, nullptr},
    {"try_flags", frame::entry_point(&try_flags), METH_O, nullptr},
    {"lookup", frame::entry_point(&lookup), METH_O, nullptr},
    {"vectorcall", frame::entry_point(&vectorcall), fast, nullptr},
    {"read_x", frame::entry_point(&read_x), METH_O, nullptr},
    {"call", frame::entry_point(&call), fast, nullptr},
    {"call_self", frame::entry_point(&call_self), METH_O, nullptr},
    {"null_noargs", frame::entry_point(&null_noargs), METH_NOARGS, nullptr},
    {"null_fast", frame::entry_point(&null_fast), fast, nullptr},
    {"probe", frame::entry_point(&probe), METH_O, nullptr},
    {"import_", frame::entry_point(&import_), fast, nullptr},
    {"import_name", frame::entry_point(&import_name), fast, nullptr},
    {"import_dotted", frame::entry_point(&import_dotted), METH_O, nullptr},
    {"switches", frame::entry_point(&switches), METH_NOARGS, nullptr},
};

// What each function's code object says, in the order of `entries`.
constexpr std::size_t key_only[] = {key};
constexpr std::size_t echo_locals[] = {key, tmp};
constexpr std::size_t pair_locals[] = {a, b};
constexpr int echo_lines[] = {21, 23};

constexpr frame::FunctionInfo functions[] = {
    {fn_noargs, 0, {}, 10, {}},
    {fn_echo, 1, echo_locals, 20, echo_lines},
    {fn_pair, 2, pair_locals, 30, {}},
    {fn_one, 1, key_only, 40, {}},
    {fn_varkw, 0, {}, 50, {}},
    {fn_method, 0, {}, 60, {}},
    {fn_try_flags, 1, key_only, 70, {}},
    {fn_lookup, 1, key_only, 80, {}},
    {fn_vectorcall, 0, {}, 85, {}},
    {fn_read_x, 1, key_only, 88, {}},
    {fn_call, 0, {}, 90, {}},
    {fn_call_self, 1, key_only, 100, {}},
    {fn_null_noargs, 0, {}, 110, {}},
    {fn_null_fast, 0, {}, 120, {}},
    {fn_probe, 1, key_only, 130, {}},
    {fn_import, 0, {}, 140, {}},
    {fn_import_name, 0, {}, 150, {}},
    {fn_import_dotted, 1, key_only, 160, {}},
    {fn_switches, 0, {}, 170, {}},
};
static_assert(std::size(functions) == std::size(entries));

// Defined with the function type as its defining class, and only where the convention exists.
constexpr std::size_t method_index = 5;

int body(frame::ModuleState& s, int& line) {
    if (!(probe_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&probe_type) < 0) return -1;
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        if (i == method_index && !frame::build::method_convention) continue;
        line = functions[i].line;
        PyTypeObject* defining_class = i == method_index ? &frame::function_type : nullptr;
        if (frame::define(s, entries[i], functions[i], defining_class) < 0) return -1;
    }
    return 0;
}

constexpr frame::ModuleInfo info = frame::describe<"frametest", "korvane.tests.frametest">(
    1, constant_table, test, functions, body);

frame::Module module(info);

frame::ModuleState& state() { return module.state(); }

}  // namespace

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_frametest() { return module.init(); }
