"""The decryption module: globals, both functions, and every failure at its line."""

import builtins
import inspect
import sys
import threading
import traceback

import pandas as pd
import pytest
from cryptography.fernet import Fernet, InvalidToken

from conftest import AT_LEAST_3_12, KEY, SANITIZED, library, load_code

DOTTED = "korvane.src.utils.unsealer"
DECRYPT = f"{DOTTED}.decrypt_txt_to_df"
GET = f"{DOTTED}.get_population_density"


@pytest.fixture(scope="module")
def unsealer():
    from korvane.src.utils import unsealer

    return unsealer


@pytest.fixture(scope="module")
def expected(csv_file):
    return pd.read_csv(csv_file)


def entries(exc):
    """(function, file, line) of every traceback entry that unsealer's functions added."""
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.name.startswith(DOTTED + ".")]


def seal(plaintext):
    return Fernet(KEY).encrypt(plaintext)


def test_globals_in_binding_order(unsealer):
    import cryptography.fernet

    from korvane.src.utils import sealedset

    names = [k for k in vars(unsealer) if not k.startswith("__") or k == "__test__"]
    assert names == ["pd", "Fernet", "data", "decrypt_txt_to_df", "get_population_density",
                     "__test__"]
    assert unsealer.pd is pd and unsealer.Fernet is cryptography.fernet.Fernet
    assert unsealer.data is sealedset.data
    assert unsealer.__test__ == {}


def test_get_population_density_is_the_data_set(unsealer, expected):
    first, second = unsealer.get_population_density(), unsealer.get_population_density()
    assert first is not second
    pd.testing.assert_frame_equal(first, expected)
    pd.testing.assert_frame_equal(second, expected)


@pytest.mark.parametrize("key", [KEY, KEY.decode()], ids=["bytes", "str"])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_decrypt_with_a_given_key(unsealer, expected, key, by_keyword):
    frame = unsealer.decrypt_txt_to_df(key=key) if by_keyword else unsealer.decrypt_txt_to_df(key)
    pd.testing.assert_frame_equal(frame, expected)


@pytest.mark.parametrize("key, error, line", [
    (Fernet.generate_key(), InvalidToken, 11),
    (KEY[:20], ValueError, 7),
    (42, TypeError, 7),
])
def test_bad_key_fails_at_its_line(unsealer, key, error, line, file_name):
    file = file_name(DOTTED)
    with pytest.raises(error) as caught:
        unsealer.decrypt_txt_to_df(key)
    assert entries(caught.value) == [(DECRYPT, file, line)]


@pytest.mark.parametrize("call, message", [
    (lambda f: f(), "decrypt_txt_to_df() takes exactly 1 positional argument (0 given)"),
    (lambda f: f(1, 2, key=3), "decrypt_txt_to_df() takes exactly 1 positional argument (2 given)"),
    (lambda f: f(KEY, key=KEY), "decrypt_txt_to_df() got multiple values for keyword argument 'key'"),
    (lambda f: f(key=KEY, foo=1), "decrypt_txt_to_df() got an unexpected keyword argument 'foo'"),
])
def test_argument_errors_at_line_6(unsealer, call, message, file_name):
    file = file_name(DOTTED)
    with pytest.raises(TypeError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")) as caught:
        call(unsealer.decrypt_txt_to_df)
    assert entries(caught.value) == [(DECRYPT, file, 6)]


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "get_population_density() takes no arguments (1 given)"),
    ((1,), {"x": 2}, "get_population_density() takes no keyword arguments"),
])
def test_get_population_density_takes_nothing(unsealer, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        unsealer.get_population_density(*args, **kwargs)
    assert str(caught.value) == message and entries(caught.value) == []


def test_code_objects(unsealer, file_name):
    file = file_name(DOTTED)
    flags = inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    decrypt = unsealer.decrypt_txt_to_df.__code__
    assert decrypt.co_varnames == ("key", "cipher", "decrypted_data", "StringIO", "df")
    assert (decrypt.co_argcount, decrypt.co_firstlineno, decrypt.co_filename) == (1, 6, file)
    assert decrypt.co_flags & flags == flags
    get = unsealer.get_population_density.__code__
    assert (get.co_varnames, get.co_argcount, get.co_firstlineno) == (("key",), 0, 18)
    assert str(inspect.signature(unsealer.decrypt_txt_to_df)) == "(key)"
    assert unsealer.decrypt_txt_to_df.__qualname__ == "decrypt_txt_to_df"
    assert unsealer.decrypt_txt_to_df.__module__ == DOTTED
    assert unsealer.decrypt_txt_to_df.__doc__ is None


def test_rebound_data_is_used(unsealer, monkeypatch):
    monkeypatch.setattr(unsealer, "data", seal(b"a,b\n1,2\n"))
    pd.testing.assert_frame_equal(unsealer.get_population_density(),
                                  pd.DataFrame({"a": [1], "b": [2]}))


def test_rebound_decrypt_is_called_with_the_embedded_key(unsealer, monkeypatch):
    seen = []
    monkeypatch.setattr(unsealer, "decrypt_txt_to_df", lambda key: seen.append(key) or "result")
    assert unsealer.get_population_density() == "result"
    assert seen == [KEY] and type(seen[0]) is bytes


def test_deleted_fernet_then_builtin(unsealer, monkeypatch, file_name):
    file = file_name(DOTTED)
    monkeypatch.delattr(unsealer, "Fernet")
    with pytest.raises(NameError, match="^name 'Fernet' is not defined$") as caught:
        unsealer.decrypt_txt_to_df(KEY)
    assert entries(caught.value) == [(DECRYPT, file, 7)]
    monkeypatch.setattr(builtins, "Fernet", Fernet, raising=False)
    assert len(unsealer.decrypt_txt_to_df(KEY)) > 0


def test_not_utf8_fails_at_line_14(unsealer, monkeypatch, file_name):
    file = file_name(DOTTED)
    monkeypatch.setattr(unsealer, "data", seal(b"a,b\n\xff\xfe,1\n"))
    with pytest.raises(UnicodeDecodeError) as caught:
        unsealer.get_population_density()
    assert entries(caught.value) == [(GET, file, 21), (DECRYPT, file, 14)]


def test_altered_token_fails_at_line_11_through_both(unsealer, monkeypatch, file_name):
    file = file_name(DOTTED)
    token = bytearray(unsealer.data)
    token[-10] = ord("A") if token[-10] != ord("A") else ord("B")
    monkeypatch.setattr(unsealer, "data", bytes(token))
    with pytest.raises(InvalidToken) as caught:
        unsealer.get_population_density()
    assert entries(caught.value) == [(GET, file, 21), (DECRYPT, file, 11)]


def test_missing_decrypt_function_fails_at_line_21(unsealer, monkeypatch, file_name):
    file = file_name(DOTTED)
    monkeypatch.delattr(unsealer, "decrypt_txt_to_df")
    with pytest.raises(NameError, match="^name 'decrypt_txt_to_df' is not defined$") as caught:
        unsealer.get_population_density()
    assert entries(caught.value) == [(GET, file, 21)]


def test_line_11_order_of_lookups(unsealer, monkeypatch, file_name):
    file = file_name(DOTTED)
    # The cipher has no decrypt and `data` is gone: which failure wins depends on the build.
    monkeypatch.setattr(unsealer, "Fernet", lambda key: object())
    monkeypatch.delattr(unsealer, "data")
    with pytest.raises(NameError if AT_LEAST_3_12 else AttributeError) as caught:
        unsealer.decrypt_txt_to_df(KEY)
    assert entries(caught.value) == [(DECRYPT, file, 11)]


@pytest.mark.skipif(SANITIZED and sys.version_info >= (3, 13),
                    reason="AddressSanitizer's frames overflow the stack before 3.13's C recursion limit")
def test_runaway_recursion_through_a_global_is_a_recursion_error(run_py):
    # Fernet rebound to the function itself: each call makes the next from C, with no Python
    # frame in between to count.
    done = run_py("""
        from korvane.src.utils import unsealer
        unsealer.Fernet = unsealer.decrypt_txt_to_df
        try:
            unsealer.decrypt_txt_to_df(b"key")
        except RecursionError as e:
            print(e)
    """)
    assert done.stdout.strip().endswith(" while calling a Python object")


def test_threads_get_equal_frames(unsealer, expected):
    results, errors = [], []

    def work():
        try:
            results.append(unsealer.get_population_density())
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(results) == 4
    for frame in results:
        pd.testing.assert_frame_equal(frame, expected)


IO_BROKEN = {
    "io missing": 'sys.modules["io"] = None',
    "StringIO missing": 'sys.modules["io"] = types.ModuleType("io")',
}


@pytest.mark.parametrize("breakage", IO_BROKEN.values(), ids=IO_BROKEN.keys())
def test_import_of_io_fails_at_line_13(run_py, breakage, file_name):
    file = file_name(DOTTED)
    done = run_py(f"""
        import sys, traceback, types
        from korvane.src.utils import unsealer
        {breakage}
        try:
            unsealer.get_population_density()
        except ImportError as e:
            print(type(e).__name__, e, sep="|")
            for f in traceback.extract_tb(e.__traceback__):
                if f.filename == {file!r}:
                    print(f.name, f.lineno, sep="|")
    """)
    kind, *lines = done.stdout.strip().splitlines()
    assert lines == [f"{GET}|21", f"{DECRYPT}|13"]
    if "StringIO" in breakage:
        assert kind == "ImportError|cannot import name StringIO"


# An import hook in a fresh process stands in for a package that is not installed.
BLOCK = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == {name!r} or name.startswith({name!r} + "."):
            raise ImportError("blocked " + name)
sys.meta_path.insert(0, Block())
"""


@pytest.mark.parametrize("blocked, line", [("pandas", 1), ("cryptography", 2)])
def test_missing_dependency_fails_import_at_its_line(run_py, blocked, line, file_name):
    file = file_name(DOTTED)
    done = run_py(BLOCK.format(name=blocked) + f"""
import traceback
try:
    import korvane.src.utils.unsealer
except ImportError as e:
    print(e)
    for f in traceback.extract_tb(e.__traceback__):
        if f.name.startswith("init "):
            print(f.name, f.filename, f.lineno, sep="|")
""")
    message, entry = done.stdout.strip().splitlines()
    assert message == f"blocked {blocked}"
    assert entry == f"init {DOTTED}|{file}|{line}"


def test_outside_its_package_fails_at_line_4(run_py):
    done = run_py(prelude=load_code(library("unsealer"), "unsealer"), code="""
        import traceback
        try:
            load()
        except ImportError as e:
            for f in traceback.extract_tb(e.__traceback__):
                if f.name.startswith("init "):
                    print(f.name, f.lineno, sep="|")
    """)
    assert done.stdout.strip() == f"init {DOTTED}|4"


def test_main_shows_the_data_set(run_py):
    done = run_py("import runpy; runpy.run_module('korvane', run_name='__main__')")
    assert "rows" in done.stdout and "density" in done.stdout
