"""What module code does through the frame: global look-ups, calls and imports."""

import builtins
import functools
import re
import sys
import types

import pytest

from conftest import AT_LEAST_3_12, SANITIZED
from frame_support import prelude

MISSING = object()


@pytest.fixture
def module_global(ft):
    """Sets (or with MISSING deletes) a global of frametest for the test, then restores it."""
    namespace = vars(ft)
    saved = {}

    def bind(name, value):
        saved.setdefault(name, namespace.get(name, MISSING))
        if value is MISSING:
            namespace.pop(name, None)
        else:
            namespace[name] = value

    yield bind
    for name, value in saved.items():
        bind(name, value)


def test_lookup_sees_every_rebinding_and_deletion(ft, module_global):
    first, second = object(), object()
    module_global("x", first)
    assert ft.lookup("x") is first and ft.lookup("x") is first
    module_global("x", second)
    assert ft.lookup("x") is second
    module_global("x", MISSING)
    with pytest.raises(NameError) as caught:
        ft.lookup("x")
    assert str(caught.value) == "name 'x' is not defined"
    module_global("x", first)
    assert ft.lookup("x") is first
    # Changes elsewhere in the dict do not disturb the value.
    module_global("unrelated", 1)
    assert ft.lookup("x") is first


def test_lookup_falls_back_to_builtins_without_caching_them(ft, module_global):
    module_global("len", MISSING)
    assert ft.lookup("len") is builtins.len
    shadow = object()
    module_global("len", shadow)
    assert ft.lookup("len") is shadow
    module_global("len", MISSING)
    assert ft.lookup("len") is builtins.len
    builtins.undefined_name = shadow
    try:
        assert ft.lookup("undefined_name") is shadow
    finally:
        del builtins.undefined_name
    with pytest.raises(NameError, match=re.escape("name 'undefined_name' is not defined")):
        ft.lookup("undefined_name")


def test_lookup_uses_the_builtins_module_not_the_callers(ft):
    namespace = {"__builtins__": {"lookup": ft.lookup}}
    exec("found = lookup('len')", namespace)
    assert namespace["found"] is builtins.len


class QuietMiss(AttributeError):
    pass


@pytest.mark.parametrize("raised, expected", [
    (QuietMiss, NameError),
    (RuntimeError, RuntimeError),
])
def test_builtins_attribute_errors_count_as_absent(ft, raised, expected):
    def missing(name):
        raise raised(name)

    builtins.__getattr__ = missing
    try:
        with pytest.raises(expected):
            ft.lookup("undefined_name")
    finally:
        del builtins.__getattr__


def plain(*args):
    return args


class Callable:
    def __call__(self, *args):
        return ("called",) + args

    def method(self, *args):
        return (self,) + args


INSTANCE = Callable()

# callee, arguments, expected result (a callable of frametest gives the callee).
CALLS = {
    "python function": (plain, (1, 2), (1, 2)),
    "builtin taking one": (len, ("abc",), 3),
    "builtin taking none": ("abc".upper, (), "ABC"),
    "builtin with keywords": (sorted, ([2, 1],), [1, 2]),
    "frame function taking none": ("noargs", (), "noargs"),
    "frame function taking one": ("one", (5,), 5),
    "frame function, vector form": ("echo", (6,), 6),
    "frame function, tuple form": ("varkw", (1, 2), ((1, 2), None)),
    "bound method": (INSTANCE.method, (1,), (INSTANCE, 1)),
    "bound method, many arguments": (INSTANCE.method, tuple(range(9)), (INSTANCE,) + tuple(range(9))),
    "bound builtin": (types.MethodType(len, "abcd"), (), 4),
    "callable instance": (INSTANCE, (7,), ("called", 7)),
    "class": (dict, (), {}),
}


@pytest.mark.parametrize("callee, args, expected", CALLS.values(), ids=CALLS)
def test_call_paths(ft, callee, args, expected):
    if isinstance(callee, str):
        callee = getattr(ft, callee)
        expected = callee if expected == "noargs" else expected
    assert ft.call(callee, *args) == expected


def test_bound_frame_function_gets_the_instance_first(ft):
    class Holder:
        echo = ft.echo
        noargs = ft.noargs

    holder = Holder()
    assert ft.call(holder.echo) is holder
    with pytest.raises(TypeError, match=re.escape("noargs() takes no arguments (1 given)")):
        ft.call(holder.noargs)


@pytest.mark.parametrize("callee", ["null_noargs", "null_fast", "probe"])
def test_null_without_error_is_a_system_error(ft, callee):
    target = ft.probe(False) if callee == "probe" else getattr(ft, callee)
    with pytest.raises(SystemError) as caught:
        ft.call(target)
    assert str(caught.value) == "NULL result without error in PyObject_Call"


# From 3.13 the limit is 10000 nested C calls, which the interpreter lowers to 4000 only when
# it is itself built with AddressSanitizer: the instrumented frames of our build overflow the
# 8 MiB stack under an ordinary interpreter first.
@pytest.mark.skipif(SANITIZED and sys.version_info >= (3, 13),
                    reason="AddressSanitizer's frames overflow the stack before 3.13's C recursion limit")
def calling_itself(function):
    """A partial of `function` that passes itself: p() is function(p)."""
    p = functools.partial(function)
    p.__setstate__((function, (p,), {}, None))
    return p


@pytest.mark.parametrize("runaway", [
    lambda f: f.call_self(f.call_self),  # direct calls
    lambda f: f.call(f.probe(True)),  # tp_call
    lambda f: calling_itself(f.call)(),  # vectorcall into a fast-call function, unguarded between
])
def test_runaway_recursion(ft, runaway):
    with pytest.raises(RecursionError) as caught:
        runaway(ft)
    assert str(caught.value).endswith(" while calling a Python object")


def test_not_callable(ft):
    with pytest.raises(TypeError, match=re.escape("'int' object is not callable")):
        ft.call(3)


# Imports.


@pytest.fixture
def modules():
    """sys.modules entries for the test, removed afterwards."""
    added = []

    def add(name, module):
        added.append((name, sys.modules.get(name, MISSING)))
        sys.modules[name] = module
        return module

    yield add
    for name, previous in reversed(added):
        if previous is MISSING:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = previous


def fake_module(name, **attrs):
    module = types.ModuleType(name)
    vars(module).update(attrs)
    return module


def test_import_absolute(ft):
    import json
    import os.path

    assert ft.import_("json", "dumps", 0) is json
    assert ft.import_("os.path") is os  # without a from-list: the top-level package
    assert ft.import_("os.path", "join", 0) is os.path


@pytest.mark.parametrize("absolute", [None, "korvane.tests.relsub"])
def test_import_relative_to_the_package(ft, modules, absolute):
    target = modules("korvane.tests.relsub", fake_module("korvane.tests.relsub", attr=1))
    assert ft.import_("relsub", "attr", 1, absolute) is target


@pytest.mark.parametrize("has_attr", [True, False])
def test_sys_modules_shortcut_from_3_12(ft, modules, has_attr):
    # The absolute name given does not match the relative one, so only the shortcut finds it.
    modules("korvane.tests", fake_module("korvane.tests"))  # not a package: nothing to find
    target = modules("frametest_target", fake_module("frametest_target", **({"attr": 1} if has_attr else {})))
    if AT_LEAST_3_12 and has_attr:
        assert ft.import_("frametest_nowhere", "attr", 1, "frametest_target") is target
    else:
        with pytest.raises(ImportError):
            ft.import_("frametest_nowhere", "attr", 1, "frametest_target")


class QuietModule(types.ModuleType):
    """A module whose missing attributes raise the given exception."""

    def __init__(self, name, raised):
        super().__init__(name)
        self.raised = raised

    def __getattr__(self, attr):
        raise self.raised(attr)


IMPORT_NAME_CASES = {
    "attribute": (fake_module("pkgx", sub="attr"), "sys entry", "attr"),
    "submodule entry": (fake_module("pkgx"), "sys entry", "entry"),
    "nothing": (fake_module("pkgx"), None, ImportError),
    "nameless module": (types.SimpleNamespace(), "sys entry", ImportError),
    "attribute error subclass": (QuietModule("pkgx", QuietMiss), "sys entry", "entry"),
    # Any other failure (a MemoryError as well) is passed on, as the interpreter's from-import does.
    "other error": (QuietModule("pkgx", RuntimeError), "sys entry", RuntimeError),
}


@pytest.mark.parametrize("module, entry, expected", IMPORT_NAME_CASES.values(), ids=IMPORT_NAME_CASES)
def test_import_name(ft, modules, module, entry, expected):
    if entry is not None:
        modules("pkgx.sub", "entry")
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="^sub$"):
            ft.import_name(module, "sub")
    elif expected is ImportError:
        with pytest.raises(ImportError) as caught:
            ft.import_name(module, "sub")
        assert str(caught.value) == "cannot import name sub"
        assert caught.value.__context__ is None and caught.value.__cause__ is None
    else:
        assert ft.import_name(module, "sub") == expected


def test_import_dotted_gives_the_module_itself(test_build, run_py):
    done = run_py(prelude=prelude(test_build), code="""
        ft = load()
        assert "xml.dom.minicompat" not in sys.modules
        module = ft.import_dotted("xml.dom.minicompat")
        assert module is sys.modules["xml.dom.minicompat"]
        assert ft.import_dotted("xml.dom.minicompat") is module
        print(module.__name__)
    """)
    assert done.stdout.strip() == "xml.dom.minicompat"


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Raises:
    pass


# How `_initializing` reads: "import" when the import function is called again (up to 3.11).
INITIALIZING = {
    "True": (True, "import"),
    "False": (False, "entry"),
    "None": (None, "entry"),
    "truthy": (1, "import"),
    "falsy": ("", "entry"),
    "truth fails": (Truthy(ValueError("no truth")), "import"),
    "truth true": (Truthy(True), "import"),
    "read fails": (Raises, "entry"),
    "no spec": (MISSING, "entry"),
}


@pytest.mark.parametrize("flag, legacy", INITIALIZING.values(), ids=INITIALIZING)
def test_import_dotted_initializing_rule(ft, modules, flag, legacy):
    # Reading `_initializing` swaps in another entry, so the result shows whether the import
    # function looked again.
    name = "frametest_initialising"
    again = fake_module(name)

    class Spec:
        @property
        def _initializing(self):
            sys.modules[name] = again
            if flag is Raises:
                raise KeyError("unreadable")
            return flag

    first = modules(name, fake_module(name))
    if flag is not MISSING:
        first.__spec__ = Spec()
    else:
        del first.__spec__
    expected = "entry" if AT_LEAST_3_12 else legacy
    assert ft.import_dotted(name) is {"entry": first, "import": again}[expected]


def test_import_dotted_lookup_error(ft, modules):
    class Refusing:
        def __hash__(self):
            return hash("frametest_refused")

        def __eq__(self, other):
            raise LookupError("refused")

    modules(Refusing(), None)
    with pytest.raises(LookupError, match="refused"):
        ft.import_dotted("frametest_refused")
