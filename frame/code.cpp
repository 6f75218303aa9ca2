#include "code.hpp"

#include <algorithm>

#include "array.hpp"
#include "build.hpp"
#include "compat.hpp"

namespace frame {
namespace {

// Location entry kinds of the 3.11+ table format.
constexpr unsigned char entry_start = 0x80;
constexpr unsigned char no_columns = 13;

// The most bytes an entry takes: its first byte and a 32-bit line delta, six bits a byte.
constexpr std::size_t max_entry_size = 1 + 6;

// A signed line delta: zig-zag, then six bits a byte, low bits first, 0x40 meaning "more".
void append_signed(Array<char>& out, int delta) {
    unsigned value = delta < 0 ? (static_cast<unsigned>(-delta) << 1) | 1 : static_cast<unsigned>(delta) << 1;
    for (; value >= 0x40; value >>= 6) (void)out.push_back(static_cast<char>((value & 0x3F) | 0x40));
    (void)out.push_back(static_cast<char>(value));
}

// The number of code units a location table covers.
Py_ssize_t units_of(PyObject* table) {
    Py_ssize_t units = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(table));
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(table); ++i)
        if (bytes[i] & entry_start) units += (bytes[i] & 7) + 1;
    return units;
}

// A 3.11+ location table that maps one code unit to `first_line` and one more to each of
// `statement_lines`, without columns.
Ref location_table(int first_line, std::span<const int> statement_lines) {
    Array<char> table;
    if (!table.reserve((statement_lines.size() + 1) * max_entry_size)) {
        PyErr_NoMemory();
        return {};
    }
    int line = first_line;
    const auto entry = [&](int next) {
        (void)table.push_back(static_cast<char>(entry_start | (no_columns << 3)));  // one code unit
        append_signed(table, next - line);
        line = next;
    };
    entry(first_line);
    for (int next : statement_lines) entry(next);
    return Ref::steal(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
}

}  // namespace

Ref make_code(const FunctionInfo& function, const Constants& constants, PyObject* filename) {
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(function.locals.size())));
    if (!empty_tuple || !empty_bytes || !names) return {};
    for (std::size_t i = 0; i < function.locals.size(); ++i) {
        PyObject* name = constants[function.locals[i]];
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }

    Ref byte_code = empty_bytes;
    Ref line_table = empty_bytes;
    if constexpr (build::code_has_locations) {
        line_table = location_table(function.line, function.statements);
        if (!line_table) return {};
        const Py_ssize_t size = units_of(line_table.get()) * 2;  // two bytes a code unit
        byte_code = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!byte_code) return {};
        std::fill_n(PyBytes_AS_STRING(byte_code.get()), size, '\0');
    }
    return compat::new_code(function.parameters, static_cast<int>(function.locals.size()),
                            CO_OPTIMIZED | CO_NEWLOCALS, byte_code.get(), empty_tuple.get(),
                            empty_tuple.get(), names.get(), empty_tuple.get(), filename,
                            constants[function.name], function.line, line_table.get(),
                            empty_bytes.get());
}

}  // namespace frame
