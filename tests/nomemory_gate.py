"""The allocation-failure gate: our code judged by construction.

    python tests/nomemory_gate.py import-sealedset | import-unsealer | calls [LABEL ...]
    python tests/nomemory_gate.py interpreter-faults

Fails allocation N + 1 of an import of one of korvane's modules, or of a call of one of its
functions, for every N from 0 until the import or call runs through without meeting it. pandas
and cryptography are replaced by stand-ins before the modules are imported: plain objects whose
methods are the interpreter's own C functions (a dict look-up for Fernet and for decrypt,
operator.methodcaller for read_csv), so that no Python code and no library but the interpreter
and ours runs while an allocation can fail, and no Python frame or function is made then. What
goes wrong is therefore ours, or the interpreter's; the interpreter's known faults are avoided
by construction (see `attempt`), not excused.

Each N runs in a child forked from a prepared parent: for each call, once from a parent that
never made it (so that the first call's traceback entries and caches are made under the failing
allocator) and once from a parent that made it twice. The child must end the attempt in
MemoryError, in the exception of the path itself (KeyError from a stand-in, TypeError for
arguments, NameError for a missing global, ImportError for a missing name; an import has none),
or in the right result; it must report
no exception as unraisable, and then, with memory back, run the import or call again (twice,
with a collection between) and get exactly what a child without any failure got: the same
result, or the same exception with the same message and the same traceback entries. A signal,
an abort, a SystemError (an exception lost or left set), a wrong result or a failed retry is a
problem. Prints one JSON object, per sweep: "allocations" (the N at which the action first ran
through), "tried", "outcomes" and "problems"; exits 1 when there is any problem.
"""

import _imp
import collections
import faulthandler
import functools
import gc
import importlib
import importlib.util
import itertools
import json
import operator
import os
import select
import signal
import sys
import tempfile
import traceback
import types

import _testcapi

KEY = b"Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="
OTHER_KEY = b"x7e2m4K9qA1sD8fG3hJ6kL0zX5cV2bN7mQ4wE9rT1yU="
PLAIN = b"a,b\n1,2\n"  # what the stand-in decrypts the token to
SEALEDSET = "korvane.src.utils.sealedset"
UNSEALER = "korvane.src.utils.unsealer"
LIMIT = 100_000  # no import or call here comes near this many allocations
CHILD_TIMEOUT = 60  # seconds for one N
MAX_PROBLEMS = 20
# NOMEMORY_GATE_ONLY=N: runs that N alone, without forking, for a debugger (give one call).
ONLY = int(os.environ["NOMEMORY_GATE_ONLY"]) if os.environ.get("NOMEMORY_GATE_ONLY") else None


# The stand-ins. Nothing in them is Python code that runs during an attempt.

class Cipher(dict):
    """A Fernet instance: decrypt(token) is a look-up of the token, and a KeyError for a token
    it cannot open. decrypt is found on the type as a C method descriptor, so the module fetches
    it unbound, as it fetches the real Fernet.decrypt."""

    __slots__ = ()
    decrypt = dict.__getitem__


def install_stand_ins(token):
    """pandas, cryptography and cryptography.fernet in sys.modules. Fernet(key) is a look-up of
    the key (KeyError for a malformed one); read_csv(stream) is stream.getvalue()."""
    assert not {"pandas", "cryptography", UNSEALER} & set(sys.modules), "imported already"
    good, bad = Cipher({token: PLAIN}), Cipher()
    fernet = types.ModuleType("cryptography.fernet")
    fernet.Fernet = {KEY: good, KEY.decode(): good, OTHER_KEY: bad}.__getitem__
    fernet.InvalidToken = KeyError
    cryptography = types.ModuleType("cryptography")
    cryptography.fernet = fernet
    pandas = types.ModuleType("pandas")
    pandas.read_csv = operator.methodcaller("getvalue")
    # No __path__: importing from them runs no importlib code.
    sys.modules.update({"pandas": pandas, "cryptography": cryptography,
                        "cryptography.fernet": fernet})


# One attempt, in the child.

def attempt(n, action, args):
    """Runs action(*args) with allocation n + 1 failing. Returns (met, result, error): whether
    the action met that allocation, and how it ended.

    Only C code runs under the failing allocator: the frame object of this function exists
    before (3.11 to 3.13 lose the exception when they cannot make it while one propagates), the
    probe is a C iterator made before, and no function is made."""
    here = sys._getframe()  # noqa: F841 - made now, so that no exception needs it made later
    probe = itertools.starmap(object, itertools.repeat((), n + 2))
    result = error = None
    _testcapi.set_nomemory(n, n + 1)
    try:
        result = action(*args)
    except BaseException as e:
        error = e
    try:
        list(probe)  # n + 2 more allocations: allocation n + 1 is behind us now
        met = True
    except MemoryError:
        met = False
    _testcapi.remove_mem_hooks()
    return met, result, error


def attempt_import(n, spec, modules):
    """attempt() for an import: what importlib does to load an extension module, less its Python
    code, written out here so that no Python function is called: create, enter in sys.modules
    (where an entry was made before, so that nothing grows), execute."""
    here = sys._getframe()  # noqa: F841 - as in attempt()
    probe = itertools.starmap(object, itertools.repeat((), n + 2))
    module = error = None
    _testcapi.set_nomemory(n, n + 1)
    try:
        module = _imp.create_dynamic(spec)
        module.__spec__ = spec
        modules[spec.name] = module
        _imp.exec_dynamic(module)
    except BaseException as e:
        error = e
    try:
        list(probe)
        met = True
    except MemoryError:
        met = False
    _testcapi.remove_mem_hooks()
    return met, module, error


def describe(error):
    """The type, message and traceback entries past the gate's own frame, as a JSON value."""
    if error is None:
        return None
    entries = [[tb.tb_frame.f_code.co_name, tb.tb_lineno]
               for tb in iter_tb(error.__traceback__)
               if tb.tb_frame.f_code.co_filename != __file__]
    return [type(error).__name__, str(error)[:100], entries]


def iter_tb(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def judge(met, result, error, expected_errors, reference):
    """What is wrong with an attempt's outcome, or None."""
    if error is None:
        if not met or reference[0] == "result":
            return None if ["result", result] == reference else f"wrong result {result!r}"
        return f"no exception where {reference[1][0]} was due"
    if isinstance(error, SystemError) or not isinstance(error, Exception):
        return "{}: {}".format(*describe(error))
    if not met:
        return None if ["error", describe(error)] == reference else "{}: {}".format(*describe(error))
    if isinstance(error, MemoryError) or type(error).__name__ in expected_errors:
        return None
    return "unexpected {}: {}".format(*describe(error))


# Children.

def fork(body, *args):
    """Runs body(*args) in a forked child that sends one JSON record. (pid, read end, stderr)."""
    read, write = os.pipe()
    err = tempfile.TemporaryFile()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.close(read)
            os.dup2(err.fileno(), 2)
            faulthandler.enable()
            record = body(*args)
            os.write(write, (json.dumps(record) + "\n").encode())
        except BaseException:
            traceback.print_exc()
            code = 3
        sys.stderr.flush()
        os._exit(code)
    os.close(write)
    return pid, read, err


def collect(pid, read, err, timeout=CHILD_TIMEOUT):
    """The child's record (or None) and its death (or None)."""
    data = b""
    deadline = timeout
    while True:
        ready, _, _ = select.select([read], [], [], deadline)
        if not ready:
            os.kill(pid, signal.SIGKILL)
            data = None
            break
        chunk = os.read(read, 65536)
        if not chunk:
            break
        data += chunk
    os.close(read)
    _, status = os.waitpid(pid, 0)
    death = None
    if data is None:
        death = f"hung for {timeout} s"
    elif os.WIFSIGNALED(status):
        death = f"killed by signal {os.WTERMSIG(status)} ({signal.Signals(os.WTERMSIG(status)).name})"
    elif os.WEXITSTATUS(status):
        death = f"exit status {os.WEXITSTATUS(status)}"
    if death:
        err.seek(0)
        lines = [line.strip() for line in err.read().decode(errors="replace").splitlines()]
        lines = [line for line in lines if line and not line.startswith("Extension modules:")]
        death += "".join("\n    " + line for line in lines[-8:])
    err.close()
    record = json.loads(data) if data else None
    return record, death


class Sweep:
    def __init__(self):
        self.allocations = None
        self.tried = 0
        self.outcomes = collections.Counter()
        self.problems = []

    def run(self, child, reference):
        """child(n, reference) -> record, for every N until one does not meet its allocation."""
        if ONLY is not None:  # the one N, in this process
            print(json.dumps(child(ONLY, reference)), file=sys.stderr)
            return self
        for n in range(LIMIT):
            self.tried += 1
            record, death = collect(*fork(child, n, reference))
            if record:
                self.outcomes[record["outcome"]] += 1
                for problem in record["problems"]:
                    self.problems.append(f"N={n}: {problem}")
            if death:
                self.problems.append(f"N={n}: {death}" + ("" if record else " (before reporting)"))
            if len(self.problems) > MAX_PROBLEMS:
                self.problems.append("too many problems: stopped")
                return self
            if record and not record["met"]:
                self.allocations = n
                return self
            if not record and n > 0 and self.tried > 2 and all(
                    "before reporting" in p for p in self.problems[-3:]):
                self.problems.append("three children in a row died before reporting: stopped")
                return self
        self.problems.append(f"no end found below {LIMIT}")
        return self

    def as_dict(self):
        return {"allocations": self.allocations, "tried": self.tried,
                "outcomes": dict(self.outcomes.most_common()), "problems": self.problems}


def unraisable_collector():
    caught = []

    def hook(u):
        caught.append(f"{u.err_msg or 'Exception ignored in'}: {type(u.object).__name__}: "
                      f"{u.exc_type.__name__}: {u.exc_value}")

    sys.unraisablehook = hook
    return caught


# Imports.

def observe_module(name):
    """What an imported module is, as a JSON value: for sealedset its token's length and a
    digest of it; for unsealer its globals and what its functions give."""
    module = sys.modules[name]
    assert importlib.import_module(name) is module
    names = sorted(vars(module))
    if name == SEALEDSET:
        import hashlib

        return [names, len(module.data), hashlib.sha256(module.data).hexdigest()]
    calls = [outcome(module.get_population_density, ()),
             outcome(module.decrypt_txt_to_df, (OTHER_KEY,))]
    bound = [module.pd is sys.modules["pandas"],
             module.Fernet is sys.modules["cryptography.fernet"].Fernet,
             module.data is sys.modules[SEALEDSET].data]
    return [names, calls, bound]


def outcome(function, args):
    try:
        return ["result", function(*args)]
    except Exception as e:
        return ["error", describe(e)]


def import_child(n, reference, spec):
    """Fails allocation n + 1 of loading `spec`'s module, then imports it through importlib."""
    unraisable = unraisable_collector()
    name = spec.name
    sys.modules[name] = None  # the entry exists: entering the module grows nothing
    met, module, error = attempt_import(n, spec, sys.modules)
    problems = []
    if error is not None:
        sys.modules.pop(name, None)  # as importlib does when a module fails
        # With the stand-ins in place, an import has no failure of its own: MemoryError only.
        if not isinstance(error, MemoryError):
            problems.append("{}: {}".format(*describe(error)))
    problems += [f"unraisable: {u}" for u in unraisable]
    outcome_name = "end" if not met else "ok" if error is None else type(error).__name__
    module = error = None
    # Memory is back: the module imports (or stays imported) and works, twice over.
    for _ in range(2):
        try:
            importlib.import_module(name)
            seen = observe_module(name)
        except Exception as e:
            seen = ["error", describe(e)]
        if seen != reference:
            problems.append(f"afterwards: {seen!r:.300}, not {reference!r:.300}")
            break
        gc.collect()
    return {"n": n, "met": met, "outcome": outcome_name, "problems": problems}


def import_reference(spec):
    importlib.import_module(spec.name)
    return observe_module(spec.name)


def sweep_import(name):
    import korvane.src.utils  # noqa: F401 - the package the modules live in

    if name == UNSEALER:
        importlib.import_module(SEALEDSET)
        install_stand_ins(sys.modules[SEALEDSET].data)
    spec = importlib.util.find_spec(name)
    assert name not in sys.modules, f"{name} is imported already"
    record, death = collect(*fork(lambda: {"reference": import_reference(spec)}))
    if death:
        return {"allocations": None, "tried": 0, "outcomes": {},
                "problems": [f"the import without failures: {death}"]}
    reference = record["reference"]
    return Sweep().run(lambda n, ref: import_child(n, ref, spec), reference).as_dict()


# Calls.

TYPE_ERROR = ("TypeError",)
KEY_ERROR = ("KeyError",)  # the stand-ins' InvalidToken and malformed-key error
NAME_ERROR = ("NameError",)
IMPORT_ERROR = ("ImportError",)

# label -> (function, args, kwargs, errors of the path itself, global removed or module hidden)
CALLS = {
    "get_population_density()": ("get_population_density", (), {}, (), None),
    "decrypt_txt_to_df(KEY)": ("decrypt_txt_to_df", (KEY,), {}, (), None),
    "decrypt_txt_to_df(key=KEY)": ("decrypt_txt_to_df", (), {"key": KEY}, (), None),
    "decrypt_txt_to_df(OTHER_KEY)": ("decrypt_txt_to_df", (OTHER_KEY,), {}, KEY_ERROR, None),
    "decrypt_txt_to_df(KEY[:20])": ("decrypt_txt_to_df", (KEY[:20],), {}, KEY_ERROR, None),
    "decrypt_txt_to_df()": ("decrypt_txt_to_df", (), {}, TYPE_ERROR, None),
    "decrypt_txt_to_df(KEY, KEY)": ("decrypt_txt_to_df", (KEY, KEY), {}, TYPE_ERROR, None),
    "decrypt_txt_to_df(k=KEY)": ("decrypt_txt_to_df", (), {"k": KEY}, TYPE_ERROR, None),
    "get_population_density(1)": ("get_population_density", (1,), {}, TYPE_ERROR, None),
    "decrypt_txt_to_df(KEY) without Fernet": ("decrypt_txt_to_df", (KEY,), {}, NAME_ERROR, "Fernet"),
    "decrypt_txt_to_df(KEY) without data": ("decrypt_txt_to_df", (KEY,), {}, NAME_ERROR, "data"),
    "decrypt_txt_to_df(KEY) without pd": ("decrypt_txt_to_df", (KEY,), {}, NAME_ERROR, "pd"),
    "get_population_density() without decrypt_txt_to_df":
        ("get_population_density", (), {}, NAME_ERROR, "decrypt_txt_to_df"),
    "decrypt_txt_to_df(KEY) without io.StringIO":
        ("decrypt_txt_to_df", (KEY,), {}, IMPORT_ERROR, "io"),
    # StringIO is found the way a submodule is, in sys.modules under "io.StringIO".
    "decrypt_txt_to_df(KEY) with io.StringIO only in sys.modules":
        ("decrypt_txt_to_df", (KEY,), {}, (), "io, not io.StringIO"),
}


def call_child(n, reference, function, args, errors):
    """Fails allocation n + 1 of the call, then calls it twice more."""
    unraisable = unraisable_collector()
    met, result, error = attempt(n, function, args)
    problems = []
    problem = judge(met, result, error, errors, reference)
    if problem:
        problems.append(problem)
    problems += [f"unraisable: {u}" for u in unraisable]
    outcome_name = "end" if not met else "ok" if error is None else type(error).__name__
    result = error = None
    for _ in range(2):
        seen = outcome(function, args)
        if seen != reference:
            problems.append(f"afterwards: {seen!r:.300}, not {reference!r:.300}")
            break
        gc.collect()
    return {"n": n, "met": met, "outcome": outcome_name, "problems": problems}


def sweep_call(unsealer, label, first):
    """The sweep of one call. `first`: in a process that never made this call, so that every
    child makes it for the first time (traceback entries, look-up caches and the like are made
    under the failing allocator); otherwise warmed up, as most calls run."""
    name, args, kwargs, errors, hidden = CALLS[label]
    saved_io = None
    if hidden.startswith("io") if hidden else False:
        saved_io = sys.modules["io"]
        sys.modules["io"] = types.ModuleType("io")
        if hidden == "io, not io.StringIO":
            sys.modules["io.StringIO"] = saved_io.StringIO
    elif hidden:
        saved = getattr(unsealer, hidden)
        delattr(unsealer, hidden)
    try:
        function = getattr(unsealer, name)
        if kwargs:
            # The keywords are bound by functools.partial, which is C code: the call reaches
            # the function with a keyword name tuple, made during the attempt.
            function = functools.partial(function, **kwargs)
        if first:
            # What every retry must give: the call made once, in a child.
            record, death = collect(*fork(lambda: {"reference": outcome(function, args)}))
            if death:
                return {"allocations": None, "tried": 0, "outcomes": {},
                        "problems": [f"the call without failures: {death}"]}
            reference = record["reference"]
        else:
            for _ in range(2):  # warm up
                reference = outcome(function, args)
        sweep = Sweep().run(lambda n, ref: call_child(n, ref, function, args, errors),
                            reference)
    finally:
        if saved_io is not None:
            sys.modules["io"] = saved_io
            sys.modules.pop("io.StringIO", None)
        elif hidden:
            setattr(unsealer, hidden, saved)
    return sweep.as_dict()


def sweep_calls(labels):
    import korvane.src.utils  # noqa: F401
    from korvane.src.utils import sealedset

    install_stand_ins(sealedset.data)
    from korvane.src.utils import unsealer

    report = {}
    # First calls, each swept from a child of this process, which has made no call yet.
    for label in labels:
        record, death = collect(*fork(sweep_call, unsealer, label, True), timeout=900)
        report[f"{label}, first call"] = record or {
            "allocations": None, "tried": 0, "outcomes": {}, "problems": [f"the sweep: {death}"]}
    for label in labels:
        report[label] = sweep_call(unsealer, label, False)
    return report


# The interpreter's own faults under allocation failure, each reproduced in plain Python. The
# gate does not excuse them: `attempt` and the stand-ins are built so that no sweep meets them,
# and the frame works around the one that our import meets. These show which ones the running
# interpreter has, so that whoever changes the construction knows what it avoids.

def lost_exception():
    """3.11 to 3.13: an exception caught in a Python function whose frame object was not made
    yet, and cannot be made now, is lost ("error return without exception set"). `attempt`
    makes its frame object first."""
    def fails():
        return int("x")

    def catch(n):  # attempt() without its sys._getframe()
        probe = itertools.starmap(object, itertools.repeat((), n + 2))
        error = None
        _testcapi.set_nomemory(n, n + 1)
        try:
            fails()
        except BaseException as e:
            error = e
        try:
            list(probe)
            met = True
        except MemoryError:
            met = False
        _testcapi.remove_mem_hooks()
        return met, error

    for n in range(40):
        met, error = catch(n)
        if isinstance(error, SystemError):
            return True
        if not met:
            return False
    return False


def function_drops_code():
    """3.12.1 and 3.13.0: a function definition that fails for memory releases a reference to its
    code object that it does not own."""
    def outer():
        def inner():
            pass
        return inner

    code = next(c for c in outer.__code__.co_consts if isinstance(c, types.CodeType))
    for n in range(40):
        before = sys.getrefcount(code)
        met, _, _ = attempt(n, outer, ())
        if sys.getrefcount(code) < before:
            return True
        if not met:
            return False
    return False


def setdefault_breaks_dict():
    """3.13.0: dict.setdefault that cannot grow the dict reports success with MemoryError set
    and leaves the dict broken. PyType_Ready fills a type's dict with it, so the frame makes the
    dict of its function type at full size before."""
    d = {f"k{i}": i for i in range(5)}  # the next insertion grows it
    insert = lambda: d.setdefault("k5", 5)  # noqa: E731 - made before the failing allocator
    _testcapi.set_nomemory(0, 1)
    try:
        insert()
    except SystemError:  # "returned a result with an exception set"
        return True
    except MemoryError:
        return False
    finally:
        _testcapi.remove_mem_hooks()
    return False


INTERPRETER_FAULTS = [lost_exception, function_drops_code, setdefault_breaks_dict]


def interpreter_faults():
    found = {}
    for probe in INTERPRETER_FAULTS:
        record, death = collect(*fork(lambda: {"present": probe()}))
        found[probe.__name__] = record["present"] if record else death
    return found


def main(argv):
    what, labels = argv[0], argv[1:]
    if what == "import-sealedset":
        report = {f"import {SEALEDSET}": sweep_import(SEALEDSET)}
    elif what == "import-unsealer":
        report = {f"import {UNSEALER}": sweep_import(UNSEALER)}
    elif what == "interpreter-faults":
        json.dump(interpreter_faults(), sys.stdout)
        print()
        return 0
    elif what == "calls":
        unknown = set(labels) - set(CALLS)
        if unknown:
            sys.exit(f"unknown calls {sorted(unknown)}; known: {list(CALLS)}")
        report = sweep_calls(labels or list(CALLS))
    else:
        sys.exit(__doc__)
    json.dump(report, sys.stdout, indent=1)
    print()
    return 1 if any(sweep["problems"] for sweep in report.values()) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
