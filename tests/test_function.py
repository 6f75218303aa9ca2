"""Function objects of the module frame: calls and their argument errors, attributes, code
objects, and how the type behaves as a Python object."""

import inspect
import re
import sys
import warnings
import weakref

import pytest

from conftest import AT_LEAST_3_12
from frame_support import DOTTED, VARIANT, module_entries, prelude

METH_VARARGS, METH_KEYWORDS, METH_NOARGS, METH_O = 0x1, 0x2, 0x4, 0x8
METH_CLASS, METH_STATIC, METH_FASTCALL, METH_METHOD = 0x10, 0x20, 0x80, 0x200


class Name(str):
    """A keyword name that is a str subclass."""

    __hash__ = str.__hash__


class RefusingName(Name):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("refused comparison")


def count(name, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def multiple(name, keyword):
    return f"{name}() got multiple values for keyword argument '{keyword}'"


STRINGS = "echo() keywords must be strings"

# (positional values, keyword names, result or message by variant); keyword values are
# 10, 11, ... in order. A single message applies to both variants.
ECHO_CASES = {
    "positional": ((1,), (), 1),
    "keyword": ((), ("key",), 10),
    "nothing": ((), (), count("echo", 1, 0)),
    "two positional": ((1, 2), (), count("echo", 1, 2)),
    "two positional and key": ((1, 2), ("key",), count("echo", 1, 2)),
    "other keyword only": ((), ("foo",), {"3.8": count("echo", 1, 0), "3.12": unexpected("echo", "foo")}),
    "two other keywords": ((), ("foo", "bar"), {"3.8": count("echo", 1, 0), "3.12": unexpected("echo", "foo")}),
    "key then other": ((), ("key", "foo"), unexpected("echo", "foo")),
    "other then key": ((), ("foo", "key"), unexpected("echo", "foo")),
    "positional and key": ((1,), ("key",), multiple("echo", "key")),
    "positional, other and key": ((1,), ("foo", "key"), unexpected("echo", "foo")),
    "positional and other": ((1,), ("foo",), unexpected("echo", "foo")),
    "key as str subclass": ((), (Name("key"),), 10),
    "str subclass and other": ((), (Name("key"), "foo"), unexpected("echo", "foo")),
    "refusing comparison": ((), (RefusingName("kee"),), LookupError("refused comparison")),
    "non-str only": ((), (1,), {"3.8": count("echo", 1, 0), "3.12": STRINGS}),
    "key then non-str": ((), ("key", 1), STRINGS),
    "non-str then key": ((), (1, "key"), STRINGS),
    "positional and non-str": ((1,), (1,), STRINGS),
    "positional and key as str subclass": ((1,), (Name("key"),), multiple("echo", "key")),
}

PAIR_CASES = {
    "positional": ((1, 2), (), (1, 2)),
    "keywords in any order": ((), ("b", "a"), (11, 10)),
    "mixed": ((1,), ("b",), (1, 10)),
    "one short": ((1,), (), count("pair", 2, 1)),
    "missing keyword": ((), ("a",), count("pair", 2, 0)),
    "duplicate": ((1,), ("a",), {"3.8": count("pair", 2, 1), "3.12": multiple("pair", "a")}),
    "duplicate and b": ((1,), ("a", "b"), multiple("pair", "a")),
    "other instead of b": ((1,), ("c",), {"3.8": count("pair", 2, 1), "3.12": unexpected("pair", "c")}),
    "too many": ((1, 2, 3), ("a",), count("pair", 2, 3)),
}


def expected_for(expected):
    return expected[VARIANT] if isinstance(expected, dict) else expected


def check_call(call, expected):
    expected = expected_for(expected)
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            call()
    elif isinstance(expected, str) and expected.startswith(("echo()", "pair()")):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == expected
        return caught.value
    else:
        assert call() == expected


@pytest.mark.parametrize("name, case", [("echo", c) for c in ECHO_CASES.items()]
                         + [("pair", c) for c in PAIR_CASES.items()],
                         ids=[f"echo-{k}" for k in ECHO_CASES] + [f"pair-{k}" for k in PAIR_CASES])
def test_argument_binding_and_errors(ft, file_name, name, case):
    _, (positional, keywords, expected) = case
    values = tuple(range(10, 10 + len(keywords)))
    stack = tuple(positional) + values
    function = getattr(ft, name)
    # Straight through vectorcall, with whatever keyword names a C caller may pass.
    error = check_call(lambda: ft.vectorcall(function, stack, keywords), expected)
    if error is not None:
        line = {"echo": 20, "pair": 30}[name]
        assert module_entries(error) == [(f"{DOTTED}.{name}", file_name(DOTTED), line)]
    # And as Python calls it, where the keywords can be spelt that way.
    if all(isinstance(k, str) for k in keywords) and len(set(keywords)) == len(keywords):
        check_call(lambda: function(*positional, **dict(zip(keywords, values))), expected)


@pytest.mark.parametrize("call, message", [
    (lambda f: f.noargs(1), "noargs() takes no arguments (1 given)"),
    (lambda f: f.noargs(1, 2), "noargs() takes no arguments (2 given)"),
    (lambda f: f.noargs(x=2), "noargs() takes no keyword arguments"),
    (lambda f: f.noargs(1, x=2), "noargs() takes no keyword arguments"),
    (lambda f: f.one(), "one() takes exactly one argument (0 given)"),
    (lambda f: f.one(1, 2), "one() takes exactly one argument (2 given)"),
    (lambda f: f.one(x=1), "one() takes no keyword arguments"),
])
def test_fixed_arity_errors_add_no_traceback_entry(ft, call, message):
    with pytest.raises(TypeError) as caught:
        call(ft)
    assert str(caught.value) == message
    assert module_entries(caught.value) == []


@pytest.mark.parametrize("name, args, message", [
    ("echo", (), "echo() takes exactly 1 positional argument (0 given)"),
    ("noargs", (1,), "noargs() takes no arguments (1 given)"),
])
def test_messages_keep_the_entry_name(ft, name, args, message):
    function = getattr(ft, name)
    original = function.__name__
    function.__name__ = "other"
    try:
        with pytest.raises(TypeError) as caught:
            function(*args)
        assert str(caught.value) == message
    finally:
        function.__name__ = original


def test_conventions_pass_their_arguments(ft):
    assert ft.noargs() is ft.noargs  # entry points receive the function object as self
    assert ft.one([1]) == [1]
    assert ft.echo("k") == ft.echo(key="k") == "k"
    assert ft.varkw() == ((), None)
    assert ft.varkw(1, 2, a=3) == ((1, 2), {"a": 3})
    if sys.version_info >= (3, 9):
        assert ft.method(1, 2, x=3) == (type(ft.echo), 2, ("x",))
    else:
        assert not hasattr(ft, "method")


GENERIC_CALLS = {
    "positional": ("echo", (1,), {}, 1),
    "keyword": ("echo", (), {"key": 2}, 2),
    "empty keywords": ("echo", (3,), {}, 3),
    "keyword error": ("echo", (1,), {"key": 2}, TypeError(multiple("echo", "key"))),
    "non-str key": ("echo", (), {1: 2}, TypeError("keywords must be strings")),
    "non-str key after key": ("echo", (), {"key": 1, 2: 3}, TypeError("keywords must be strings")),
    "varargs": ("varkw", (1,), {"a": 2}, ((1,), {"a": 2})),
    "noargs": ("noargs", (), {"x": 1}, TypeError("noargs() takes no keyword arguments")),
}


@pytest.mark.parametrize("name, args, kwargs, expected", GENERIC_CALLS.values(), ids=GENERIC_CALLS)
def test_generic_call_slot(ft, name, args, kwargs, expected):
    function = getattr(ft, name)
    call = lambda: type(function).__call__(function, *args, **kwargs)  # noqa: E731
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as caught:
            call()
        assert str(caught.value) == str(expected)
    else:
        assert call() == expected


@pytest.mark.parametrize("flags, accepted", [
    (METH_NOARGS, True),
    (METH_O, True),
    (METH_VARARGS | METH_KEYWORDS, True),
    (METH_FASTCALL | METH_KEYWORDS, True),
    (METH_METHOD | METH_FASTCALL | METH_KEYWORDS, sys.version_info >= (3, 9)),
    (0, False),
    (METH_VARARGS, False),
    (METH_FASTCALL, False),
    (METH_KEYWORDS, False),
    (METH_NOARGS | METH_O, False),
    (METH_NOARGS | METH_CLASS, False),
    (METH_O | METH_STATIC, False),
    (METH_METHOD | METH_FASTCALL, False),
])
def test_creation_checks_the_convention(ft, flags, accepted):
    if accepted:
        assert ft.try_flags(flags) is True
    else:
        with pytest.raises(SystemError, match=re.escape(f"(0x{flags:x})")):
            ft.try_flags(flags)


def test_attributes_read(ft):
    f = ft.echo
    assert f.__name__ == "echo" and f.__name__ is sys.intern("echo")
    assert f.__qualname__ == "echo"
    assert f.__module__ == DOTTED
    assert f.__doc__ is None
    assert f.__globals__ is vars(ft)
    assert f.__closure__ is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__
    assert f._is_coroutine is False
    assert isinstance(f.__dict__, dict) and f.__dict__ is f.__dict__
    assert inspect.iscode(f.__code__)


@pytest.mark.parametrize("alias, name", [
    ("func_name", "__name__"), ("func_doc", "__doc__"), ("func_dict", "__dict__"),
    ("func_globals", "__globals__"), ("func_closure", "__closure__"),
    ("func_code", "__code__"), ("func_defaults", "__defaults__"),
])
def test_old_attribute_names(ft, alias, name):
    assert getattr(ft.echo, alias) is getattr(ft.echo, name)


@pytest.fixture
def fn(ft):
    """ft.one, with its writable attributes put back afterwards."""
    f = ft.one
    names = ["__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
             "__kwdefaults__", "__annotations__"]
    saved = {name: getattr(f, name) for name in names}
    saved_dict = dict(f.__dict__)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        yield f
        for name, value in saved.items():
            setattr(f, name, value)
    f.__dict__.clear()
    f.__dict__.update(saved_dict)


DELETE = object()
DICT_MESSAGES = {
    "3.8": ("setting function's dictionary to a non-dict", "function's dictionary may not be deleted"),
    "3.12": ("__dict__ must be set to a dictionary, not a 'int'", "cannot delete __dict__"),
}[VARIANT]

# attribute, value assigned (DELETE deletes), then what a read gives or the error raised.
ASSIGNMENTS = {
    "name": ("__name__", "renamed", "renamed"),
    "name as str subclass": ("__name__", Name("renamed"), "renamed"),
    "name not str": ("__name__", 1, TypeError("__name__ must be set to a string object")),
    "name deleted": ("__name__", DELETE, TypeError("__name__ must be set to a string object")),
    "qualname": ("__qualname__", "Q.one", "Q.one"),
    "qualname not str": ("__qualname__", 1, TypeError("__qualname__ must be set to a string object")),
    "qualname as str subclass": ("__qualname__", Name("x"),
                                 TypeError("__qualname__ must be set to a string object")),
    "qualname deleted": ("__qualname__", DELETE, TypeError("__qualname__ must be set to a string object")),
    "module": ("__module__", 3, 3),
    "module deleted": ("__module__", DELETE, None),
    "doc": ("__doc__", "text", "text"),
    "doc deleted": ("__doc__", DELETE, None),
    "dict": ("__dict__", {"a": 1}, {"a": 1}),
    "dict not dict": ("__dict__", 1, TypeError(DICT_MESSAGES[0])),
    "dict deleted": ("__dict__", DELETE, TypeError(DICT_MESSAGES[1])),
    "dict via alias": ("func_dict", 1, TypeError(DICT_MESSAGES[0])),
    "annotations": ("__annotations__", {"a": int}, {"a": int}),
    "annotations reset": ("__annotations__", None, {}),
    "annotations deleted": ("__annotations__", DELETE, {}),
    "annotations not dict": ("__annotations__", [], TypeError("__annotations__ must be set to a dict object")),
    "globals": ("__globals__", {}, AttributeError),
    "globals via alias": ("func_globals", {}, AttributeError),
    "code": ("__code__", None, AttributeError),
    "code deleted": ("__code__", DELETE, AttributeError),
    "closure": ("__closure__", None, AttributeError),
    "is_coroutine": ("_is_coroutine", True, AttributeError),
    "name via alias": ("func_name", 1, TypeError("__name__ must be set to a string object")),
    "doc via alias": ("func_doc", "alias", "alias"),
}


@pytest.mark.parametrize("attr, value, expected", ASSIGNMENTS.values(), ids=ASSIGNMENTS)
def test_attribute_assignment_and_deletion(fn, attr, value, expected):
    change = (lambda: delattr(fn, attr)) if value is DELETE else (lambda: setattr(fn, attr, value))
    if isinstance(expected, type) or isinstance(expected, BaseException):
        kind = expected if isinstance(expected, type) else type(expected)
        with pytest.raises(kind) as caught:
            change()
        if isinstance(expected, BaseException):
            assert str(caught.value) == str(expected)
    else:
        change()
        assert getattr(fn, attr) == expected
        if attr == "__annotations__":
            assert getattr(fn, attr) is getattr(fn, attr)


def test_arbitrary_attributes_live_in_the_dict(fn):
    fn.tag = 5
    assert fn.__dict__ == {"tag": 5} and fn.func_dict["tag"] == 5
    fn.__dict__ = {"other": 1}
    assert fn.other == 1 and not hasattr(fn, "tag")


@pytest.mark.parametrize("attr, value, stored, error", [
    ("__defaults__", (1,), (1,), None),
    ("__defaults__", None, None, None),
    ("__defaults__", DELETE, None, None),
    ("func_defaults", (2,), (2,), None),
    ("__defaults__", [1], None, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", {"a": 1}, {"a": 1}, None),
    ("__kwdefaults__", DELETE, None, None),
    ("__kwdefaults__", (1,), None, "__kwdefaults__ must be set to a dict object"),
])
def test_defaults_are_stored_but_warn(fn, attr, value, stored, error):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if error:
            with pytest.raises(TypeError, match=re.escape(error)):
                setattr(fn, attr, value)
        elif value is DELETE:
            delattr(fn, attr)
        else:
            setattr(fn, attr, value)
    assert getattr(fn, attr) == stored
    assert [w.category for w in caught] == ([] if error else [RuntimeWarning])
    assert all("will not affect calls" in str(w.message) for w in caught)
    assert fn(7) == 7  # the call binds as before


def test_defaults_as_errors(fn):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            fn.__defaults__ = (1,)
    assert fn.__defaults__ is None


def test_code_object(ft, file_name):
    code = ft.echo.__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == ("echo", file_name(DOTTED), 20)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1, 0, 0)
    assert code.co_varnames == ("key", "tmp") and code.co_nlocals == 2
    nofree = 0x40  # added by 3.8 and 3.9 to code without free or cell variables
    assert code.co_flags & ~nofree == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_consts == () and code.co_freevars == code.co_cellvars == ()
    lines = [line for *_, line in code.co_lines()] if hasattr(code, "co_lines") else []
    if AT_LEAST_3_12:
        assert set(code.co_code) == {0} and len(code.co_code) == 6
        assert lines == [20, 21, 23]
    else:
        assert code.co_code == b"" and lines == []


@pytest.mark.parametrize("name, signature", [
    ("echo", "(key)"), ("pair", "(a, b)"), ("noargs", "()"), ("one", "(key)"),
])
def test_signature_comes_from_the_code_object(ft, name, signature):
    assert str(inspect.signature(getattr(ft, name))) == signature


def test_identity_hash_repr_and_weak_references(ft):
    f = ft.echo
    assert f == f and f != ft.pair and hash(f) == object.__hash__(f)
    with pytest.raises(TypeError):
        f < ft.pair  # noqa: B015
    assert re.fullmatch(r"<function echo at 0x[0-9a-fA-F]+>", repr(f))
    assert weakref.ref(f)() is f
    assert f.__reduce__() == "echo"


def test_pickles_by_reference(test_build, run_py):
    done = run_py(prelude=prelude(test_build), code=f"""
        import pickle, types
        # Pickle imports the module by name: stand in for its parent packages.
        for parent in ("korvane", "korvane.tests"):
            sys.modules[parent] = types.ModuleType(parent)
        ft = load()
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(ft.echo, protocol)
            assert pickle.loads(data) is ft.echo
            assert b"{DOTTED}" in data and b"echo" in data
        print("ok")
    """)
    assert done.stdout.strip() == "ok"


def test_subclass(ft):
    function_type = type(ft.echo)

    class Sub(function_type):
        extra = 1

    assert issubclass(Sub, function_type) and Sub.extra == 1
    with pytest.raises(TypeError):
        Sub()


def test_binds_as_a_method_through_instances(ft):
    class Holder:
        noargs = ft.noargs
        echo = ft.echo

    holder = Holder()
    assert Holder.echo is ft.echo and Holder.__dict__["echo"] is ft.echo
    bound = holder.echo
    assert bound.__func__ is ft.echo and bound.__self__ is holder
    assert bound() is holder
    with pytest.raises(TypeError, match=re.escape("noargs() takes no arguments (1 given)")):
        holder.noargs()
    assert ft.echo.__get__(None, Holder) is ft.echo
