#include "args.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "build.hpp"
#include "ref.hpp"

namespace frame {
namespace {

constexpr Py_ssize_t missing = -1;
constexpr Py_ssize_t failed = -2;

// "%.200s() takes exactly %zd positional argument%s (%zd given)", written out by hand: through
// PyErr_Format each number goes through the C library's printf, which cost more than the rest
// of the failing call together.
int count_error(const char* function, std::size_t expected, Py_ssize_t given) {
    constexpr std::size_t name_limit = 200;
    std::array<char, name_limit + 128> message;
    std::size_t length = 0;
    auto put = [&](std::string_view text) {
        text = text.substr(0, message.size() - length);
        std::copy(text.begin(), text.end(), message.data() + length);
        length += text.size();
    };
    auto put_number = [&](auto number) {
        std::array<char, 24> digits;
        put({digits.data(), static_cast<std::size_t>(
                                std::to_chars(digits.begin(), digits.end(), number).ptr - digits.data())});
    };
    put({function, strnlen(function, name_limit)});
    put("() takes exactly ");
    put_number(expected);
    put(expected == 1 ? " positional argument (" : " positional arguments (");
    put_number(given);
    put(" given)");
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(length), "replace"));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return -1;
}

// Where `name` is among the keywords: by identity first, then by equality in order. Only strs
// are compared; a comparison that raises makes the result `failed`.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) continue;
        const int equal = PyObject_RichCompareBool(keyword, name, Py_EQ);
        if (equal) return equal < 0 ? failed : i;
    }
    return missing;
}

// Which of `names` the keyword names, the same way round.
Py_ssize_t find_parameter(std::span<PyObject* const> names, PyObject* keyword) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == keyword) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(keyword)) return missing;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const int equal = PyObject_RichCompareBool(keyword, names[i], Py_EQ);
        if (equal) return equal < 0 ? failed : static_cast<Py_ssize_t>(i);
    }
    return missing;
}

// The error for a keyword that binds nothing; `taken` are the parameters already bound.
int keyword_error(const char* function, std::span<PyObject* const> taken, PyObject* keyword) {
    const Py_ssize_t found = find_parameter(taken, keyword);
    if (found == failed) return -1;
    if (found != missing)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     function, keyword);
    else if (!PyUnicode_Check(keyword))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     keyword);
    return -1;
}

// Up to 3.11: each remaining parameter is looked for among the keywords; a missing one is a
// count error whatever else was given, and only then are leftover keywords examined.
int bind_by_parameter(const char* function, std::span<PyObject* const> names,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> values) {
    const auto first = static_cast<std::size_t>(nargs);
    // Which keyword each parameter from `first` on took; only those entries are ever read, so
    // the array is not cleared first (a memset on every keyword call).
    std::array<Py_ssize_t, max_parameters> used;
    for (std::size_t i = first; i < names.size(); ++i) {
        const Py_ssize_t found = find_keyword(kwnames, names[i]);
        if (found == failed) return -1;
        if (found == missing) return count_error(function, names.size(), nargs);
        used[i] = found;
        values[i] = args[nargs + found];
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (static_cast<std::size_t>(nkw) == names.size() - first) return 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bool bound = false;
        for (std::size_t i = first; i < names.size(); ++i) bound = bound || used[i] == k;
        if (!bound) return keyword_error(function, names.first(first), PyTuple_GET_ITEM(kwnames, k));
    }
    return 0;
}

// From 3.12: the keywords are taken in the order given, and the count is checked last.
int bind_by_keyword(const char* function, std::span<PyObject* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> values) {
    const auto first = static_cast<std::size_t>(nargs);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t found = find_parameter(names, keyword);
        if (found == failed) return -1;
        if (found == missing || static_cast<std::size_t>(found) < first || values[found])
            return keyword_error(function, names.first(first), keyword);
        values[found] = args[nargs + k];
    }
    for (std::size_t i = first; i < names.size(); ++i)
        if (!values[i]) return count_error(function, names.size(), nargs);
    return 0;
}

}  // namespace

int bind_arguments_in_full(const char* function, std::span<PyObject* const> names,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::span<PyObject*> values) {
    const std::size_t count = names.size();
    if (count > max_parameters || values.size() < count) {
        PyErr_Format(PyExc_SystemError, "%.200s(): bad parameter list", function);
        return -1;
    }
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (!keywords ? nargs != static_cast<Py_ssize_t>(count) : nargs > static_cast<Py_ssize_t>(count))
        return count_error(function, count, nargs);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (!keywords) return 0;
    if constexpr (build::keywords_before_count)
        return bind_by_keyword(function, names, args, nargs, kwnames, values);
    else
        return bind_by_parameter(function, names, args, nargs, kwnames, values);
}

}  // namespace frame
