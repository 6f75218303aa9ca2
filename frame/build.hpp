// What differs between the interpreter versions this frame is built for, decided once at
// compile time. Everything else in the frame reads these switches instead of the version.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace frame::build {

// Whether the interpreter this library is built for is 3.`minor` or later: the one reading of
// its version, from which every switch below follows.
constexpr bool from_3(int minor) { return PY_VERSION_HEX >= (0x03000000 | minor << 16); }

// The dict version tag is deprecated from 3.12 on, so global reads there are not cached.
inline constexpr bool global_lookup_cache = !from_3(12);
// 3.12 and later try sys.modules before calling the import function for a from-list import.
inline constexpr bool import_shortcut = from_3(12);
// 3.12 and later examine keyword names before the count of positional arguments.
inline constexpr bool keywords_before_count = from_3(12);
// 3.12 and later leave a function's __dict__ to the interpreter's generic accessors, with
// their messages; earlier builds check assignments with messages of their own.
inline constexpr bool generic_function_dict = from_3(12);
// The calling convention that passes the defining class exists from 3.9 on.
inline constexpr bool method_convention = from_3(9);
// 3.12 and later code objects carry placeholder byte code and a location table.
inline constexpr bool code_has_locations = from_3(12);
// `obj.name(arg)`: from 3.12 the argument is evaluated first and the method fetched and called
// in one step; up to 3.11 the method is fetched first, without making a bound method.
inline constexpr bool method_call_in_one_step = from_3(12);
// Traceback and code object file names join the package path with this separator.
inline constexpr char path_separator = from_3(12) ? '/' : '\\';
// Whether the constant tables are one zlib stream is decided by CMakeLists.txt, which writes
// each table; the table says which it is (ConstantTable::stream).

// The interpreter version this library was built for. A test-only build may claim another
// minor version to exercise the mismatch warning.
inline constexpr int python_major = PY_MAJOR_VERSION;
#ifdef KORVANE_CLAIMED_MINOR
inline constexpr int python_minor = KORVANE_CLAIMED_MINOR;
#else
inline constexpr int python_minor = PY_MINOR_VERSION;
#endif

// A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
    constexpr FixedString() = default;
    constexpr FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    constexpr const char* c_str() const { return chars; }
    char chars[N]{};
};

// "korvane.src.utils.x" -> "korvane\src\utils\x" (or with "/" from 3.12 on).
template <FixedString Dotted>
inline constexpr auto file_name_of = [] {
    auto name = Dotted;
    for (char& c : name.chars)
        if (c == '.') c = path_separator;
    return name;
}();

// "korvane.src.utils.x" -> "init korvane.src.utils.x", the name of a failing module execution.
template <FixedString Dotted>
inline constexpr auto init_name_of = [] {
    constexpr char prefix[] = "init ";
    constexpr std::size_t prefix_size = sizeof prefix - 1;
    FixedString<prefix_size + sizeof Dotted.chars> name;
    for (std::size_t i = 0; i < prefix_size; ++i) name.chars[i] = prefix[i];
    for (std::size_t i = 0; i < sizeof Dotted.chars; ++i) name.chars[prefix_size + i] = Dotted.chars[i];
    return name;
}();

}  // namespace frame::build
