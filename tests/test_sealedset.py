"""The sealed data-set module: the token, its identity, and the module frame under it."""

import base64
import json
import sys

import pytest

from conftest import TOKEN, built, library, load_code

DOTTED = "korvane.src.utils.sealedset"


def test_data_is_the_committed_token():
    from korvane.src.utils import sealedset

    token = TOKEN.read_bytes()
    assert type(sealedset.data) is bytes
    assert sealedset.data == token
    assert base64.urlsafe_b64decode(sealedset.data)[0] == 0x80
    assert sealedset.__test__ == {}
    assert {k for k in vars(sealedset) if not k.startswith("__")} == {"data"}


def test_imports_share_module_and_token():
    import importlib

    from korvane.src.utils import sealedset
    from korvane.src.utils.sealedset import data

    again = importlib.import_module(DOTTED)
    assert again is sealedset and again.data is data is sys.modules[DOTTED].data


def test_module_file_and_package():
    from korvane.src.utils import sealedset

    assert sealedset.__file__ == str(library("sealedset"))
    assert sealedset.__package__ == "korvane.src.utils"
    assert not hasattr(sealedset, "__path__")


def test_slots_reuse_executed_module_and_refuse_another(run_py):
    done = run_py(f"""
        import _imp, importlib.util
        spec = importlib.util.find_spec({DOTTED!r})
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        data = first.data
        assert _imp.exec_dynamic(first) == 0 and first.data is data
        assert _imp.create_dynamic(spec) is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        assert first.data is data and "data" not in vars(second)
    """)
    assert done.stdout.strip() == (
        "Module 'sealedset' has already been imported. Re-initialisation is not supported."
    )


def test_loaded_under_another_name_registers_dotted_name(run_py):
    run_py(prelude=load_code(library("sealedset"), "sealedset"), code=f"""
        module = load()
        assert sys.modules["sealedset"] is module
        assert sys.modules[{DOTTED!r}] is module
        import importlib
        assert importlib.import_module({DOTTED!r}) is module
    """)


# What the create slot copies from specs that lack attributes or hold None.
SPEC_CASES = {
    "bare": ({}, {}),
    "parent and origin": ({"parent": "P", "origin": "O"}, {"__package__": "P", "__file__": "O"}),
    "all": (
        {"loader": "L", "origin": "O", "parent": "P", "submodule_search_locations": ["S"]},
        {"__loader__": "L", "__file__": "O", "__package__": "P", "__path__": ["S"]},
    ),
    "no search locations": ({"submodule_search_locations": None}, {}),
}


def test_create_slot_copies_spec_attributes(run_py):
    # Drives the create slot directly, so the spec needs only what the slot reads.
    cases = {case: attrs for case, (attrs, _) in SPEC_CASES.items()}
    done = run_py(f"""
        import ctypes, json, types
        definition = ctypes.PyDLL({str(library("sealedset"))!r}).PyInit_sealedset
        definition.restype = ctypes.c_void_p
        from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
        from_spec.restype = ctypes.py_object
        from_spec.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        cases = {cases!r}
        keys = ("__loader__", "__file__", "__package__", "__path__")
        out = {{}}
        for case, attrs in cases.items():
            module = from_spec(definition(), types.SimpleNamespace(name={DOTTED!r}, **attrs), 1013)
            assert module.__name__ == {DOTTED!r}
            out[case] = {{k: vars(module)[k] for k in keys if k in vars(module)}}

        class Broken:
            name = {DOTTED!r}
            @property
            def origin(self):
                raise ValueError("broken origin")
        try:
            from_spec(definition(), Broken(), 1013)
        except ValueError as e:
            out["broken"] = str(e)
        print(json.dumps(out))
    """)
    out = json.loads(done.stdout)
    assert out.pop("broken") == "broken origin"
    # A new module starts with __loader__ and __package__ set to None.
    assert out == {case: {"__loader__": None, "__package__": None, **expected}
                   for case, (_, expected) in SPEC_CASES.items()}


def test_second_interpreter_is_refused(run_py):
    done = run_py("""
        import _testcapi
        import korvane.src.utils.sealedset as s
        print("result", _testcapi.run_in_subinterp("import korvane.src.utils.sealedset"))
        assert len(s.data) > 0
        print("still", type(s.data).__name__)
    """)
    assert "result -1" in done.stdout and "still bytes" in done.stdout
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in done.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sub-interpreters with their own GIL came in 3.12")
@pytest.mark.parametrize("name", ["sealedset", "unsealer"])
def test_interpreter_with_its_own_gil_is_refused(run_py, name):
    # Such an interpreter would run the create slot beside the first one, under another lock:
    # the import system turns it away before the slot runs, as the module claims no support.
    script = f"try:\n    import korvane.src.utils.{name}\nexcept ImportError as e:\n    print('refused:', e)\n"
    done = run_py(f"""
        import sys
        from korvane.src.utils import {name} as first
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config("isolated"))
            assert interpreters.exec(interp, {script!r}) is None
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            interpreters.run_string(interp, {script!r})
        interpreters.destroy(interp)
        kept = first.data if {name!r} == "sealedset" else first.get_population_density()
        print("still", type(kept).__name__)
    """)
    assert done.stdout.splitlines() == [
        f"refused: module korvane.src.utils.{name} does not support loading in subinterpreters",
        "still bytes" if name == "sealedset" else "still DataFrame"]


def test_failed_execution_reports_init_entry_and_can_be_retried(run_py, file_name):
    # A sys.modules key that collides with the dotted name and refuses comparison makes the
    # registration step fail; the module is loaded under another name so that only that
    # step meets the key.
    done = run_py(prelude=load_code(library("sealedset"), "sealedset"), code=f"""
        import traceback
        class Evil:
            def __hash__(self):
                return hash({DOTTED!r})
            def __eq__(self, other):
                raise KeyError("refused")
        sys.modules[Evil()] = None
        try:
            load()
        except KeyError as e:
            for entry in traceback.extract_tb(e.__traceback__):
                if entry.name.startswith("init "):
                    print(entry.name, entry.filename, entry.lineno, sep="|")
        del sys.modules[next(k for k in sys.modules if isinstance(k, Evil))]
        module = load()
        assert sys.modules[{DOTTED!r}] is module and len(module.data) > 0
        print("retried")
    """)
    entry, retried = done.stdout.splitlines()
    assert entry == f"init {DOTTED}|{file_name(DOTTED)}|3"
    assert retried == "retried"


def test_constants_need_zlib_only_from_3_12(run_py, switches):
    done = run_py(f"""
        import sys
        sys.modules["zlib"] = None
        try:
            import korvane.src.utils.sealedset as s
            print("imported", len(s.data) > 0)
        except ImportError as e:
            print("failed|" + str(e) + "|" + repr(e.__cause__) + "|" + repr(e.__context__))
        del sys.modules["zlib"]
        import korvane.src.utils.sealedset as s
        print("imported", len(s.data) > 0)
    """)
    first, second = done.stdout.strip().splitlines()
    if switches["compressed_constants"]:
        kind, message, cause, context = first.split("|")
        assert kind == "failed" and cause == context == "None"
        assert "zlib" in message and "decompress" in message and "cannot be initialised" in message
    else:
        assert first == "imported True"
    assert second == "imported True"


def test_version_mismatch_warns_once(test_build, run_py):
    path = built(test_build, "sealedset", "mismatch")
    claimed = 9 if sys.version_info[:2] == (3, 8) else sys.version_info[1] - 1
    done = run_py(prelude=load_code(path, DOTTED), code="""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = load()
        print(len(module.data) > 0)
        for w in caught:
            print(w.category.__name__, w.message, sep="|")
    """)
    bound, *warnings = done.stdout.strip().splitlines()
    running = "%d.%d" % sys.version_info[:2]
    assert bound == "True"
    assert warnings == [
        f"RuntimeWarning|compile time Python version 3.{claimed} of module '{DOTTED}' "
        f"does not match runtime version {running}"
    ]


def test_version_mismatch_as_error_fails_import(test_build, run_py):
    path = built(test_build, "sealedset", "mismatch")
    done = run_py("""
        import traceback
        try:
            load()
        except RuntimeWarning as e:
            print(type(e).__name__, [f.name for f in traceback.extract_tb(e.__traceback__)
                                      if f.name.startswith("init ")])
    """, "-W", "error::RuntimeWarning", prelude=load_code(path, DOTTED))
    assert done.stdout.strip() == "RuntimeWarning []"


def test_same_version_gives_no_warning(run_py):
    done = run_py("import korvane.src.utils.sealedset", "-W", "error")
    assert done.stderr == ""
