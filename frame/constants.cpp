#include "constants.hpp"

namespace frame {
namespace {

Ref make_constant(ConstKind kind, const char* chars, Py_ssize_t size) {
    if (kind == ConstKind::bytes) return Ref::steal(PyBytes_FromStringAndSize(chars, size));
    PyObject* decoded = PyUnicode_DecodeUTF8(chars, size, "strict");
    if (decoded && kind != ConstKind::str) PyUnicode_InternInPlace(&decoded);
    Ref text = Ref::steal(decoded);
    if (!text || kind != ConstKind::from_list) return text;
    return Ref::steal(PyTuple_Pack(1, text.get()));
}

// Inflates the table's stream with the interpreter's own zlib.
Ref inflate(const ConstantTable& table) {
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    Ref decompress = zlib ? Ref::steal(PyObject_GetAttrString(zlib.get(), "decompress")) : Ref();
    if (!decompress) {
        // Only a missing zlib is reported as such; anything else (a MemoryError) passes on.
        if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "cannot import zlib.decompress: module strings cannot be initialised");
        return {};
    }
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(table.stream),
                                                  table.stream_size, PyBUF_READ));
    if (!view) return {};
    // The known size as the buffer size: one allocation, no growing and joining of pieces.
    constexpr int zlib_window_bits = 15;
    Ref inflated = Ref::steal(PyObject_CallFunction(decompress.get(), "Oin", view.get(),
                                                    zlib_window_bits, table.inflated_size));
    if (inflated && (!PyBytes_Check(inflated.get()) ||
                     PyBytes_GET_SIZE(inflated.get()) != table.inflated_size)) {
        PyErr_SetString(PyExc_ValueError, "module constant table is corrupt");
        return {};
    }
    return inflated;
}

int fill(const ConstantTable& table, Constants& out) {
    const auto count = table.entries.size();
    if (!out.objects.resize(count) || !out.hashes.resize(count)) {
        PyErr_NoMemory();
        return -1;
    }

    Ref inflated;
    const char* packed = nullptr;
    if (table.stream) {
        inflated = inflate(table);
        if (!inflated) return -1;
        packed = PyBytes_AS_STRING(inflated.get());
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ConstantEntry& entry = table.entries[i];
        const char* chars = packed ? packed : entry.chars;
        out.objects[i] = make_constant(entry.kind, chars, entry.size);
        if (!out.objects[i]) return -1;
        if (packed) packed += entry.size;
    }
    // Only strings are looked up by hash (global names). A bytes constant can be the whole data
    // set, and hashing it would cost as much as copying it, for nothing.
    for (std::size_t i = 0; i < count; ++i) {
        if (const ConstKind kind = table.entries[i].kind;
            kind == ConstKind::bytes || kind == ConstKind::from_list) {
            out.hashes[i] = -1;
            continue;
        }
        out.hashes[i] = PyObject_Hash(out.objects[i].get());
        if (out.hashes[i] == -1) return -1;
    }
    return 0;
}

}  // namespace

int create_constants(const ConstantTable& table, Constants& out) {
    const int result = fill(table, out);
    if (result < 0) {
        out.objects.clear();
        out.hashes.clear();
    }
    return result;
}

}  // namespace frame
