// A module's constant table: the strings and bytes its code uses, created once at import.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "array.hpp"
#include "ref.hpp"

namespace frame {

// A from-list is a one-name tuple of an interned str, kept as compiled code keeps its own.
enum class ConstKind : unsigned char { bytes, str, interned, from_list };

struct ConstantEntry {
    ConstKind kind;
    const char* chars;  // null when the table is one compressed stream
    Py_ssize_t size;
};

struct ConstantTable {
    std::span<const ConstantEntry> entries;
    // The zlib stream of every entry's characters, in table order, or null when each entry has
    // its own characters. CMakeLists.txt decides which, by the interpreter the table is for.
    const char* stream;
    Py_ssize_t stream_size;
    Py_ssize_t inflated_size;
};

// The created constants and the hashes of the strings among them (-1 for bytes), indexed like
// the table.
struct Constants {
    Array<Ref> objects;
    Array<Py_hash_t> hashes;

    [[nodiscard]] bool ready() const noexcept { return !objects.empty(); }
    [[nodiscard]] PyObject* operator[](std::size_t slot) const noexcept { return objects[slot].get(); }
};

// Fills `out` from the table; on failure `out` stays empty and the exception is set.
int create_constants(const ConstantTable& table, Constants& out);

}  // namespace frame
