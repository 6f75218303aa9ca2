"""Fails one allocation at a time in an import or a call of korvane's modules.

    python tools/nomemory.py import korvane.src.utils.unsealer [--stride N]
    python tools/nomemory.py import korvane.src.utils.sealedset [--stride N]
    python tools/nomemory.py call [LABEL ...] [--stride N]

Needs the interpreter's _testcapi. Its allocation counter starts when the hook is set, so with
N, allocation N + 1 of the import or call fails and every other one succeeds; N runs from 0 until
the whole import or call fits below it. Imports need a state in which the module was never
imported: each N runs in a child forked after the dependencies are loaded, which fails once and
then must import cleanly. Calls run in a child too (restarted after a crash), with a small
stand-in token so that an N is cheap.

Prints one JSON object: per sweep the N at which the action first ran through ("allocations"),
how the attempts ended ("outcomes") and "problems", empty when every attempt ended in an
exception (or absorbed the failure) and everything worked again afterwards. A crashed child is
run again under gdb, when there is one, and its stack is classified: "ours" when a frame is in
korvane's own modules, "dependency" when the innermost frames are in a package's library (numpy,
pandas, cryptography...), "interpreter" otherwise. NOMEMORY_NO_FORK=1 runs the single N given
by --start in this process instead, for a debugger.
"""

import argparse
import collections
import faulthandler
import importlib
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import traceback
import types
import warnings

import _testcapi

KEY = b"Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="
OTHER_KEY = b"x7e2m4K9qA1sD8fG3hJ6kL0zX5cV2bN7mQ4wE9rT1yU="
SMALL_CSV = b"a,b\n1,2\n"
SMALL_FRAME = {"a": [1], "b": [2]}
CONTROL = "control: int('x') in a Python function"
CONTROL_STEPS = "control: the steps of decrypt_txt_to_df(KEY) in Python"
CONTROLS = (CONTROL, CONTROL_STEPS)
LIMIT = 10_000_000  # an allocation count no import or call here comes near
MAX_PROBLEMS = 30
MAX_TRACED = 12  # crash sites per sweep run again under gdb
NO_FORK = bool(os.environ.get("NOMEMORY_NO_FORK"))
TRACE = [True]  # whether crashes are run again under gdb (--no-trace)


# One attempt.

def reached(n):
    """Whether allocation n + 1 has happened since the hook was set: if not, n + 2 more
    allocations (object() has no free list) are bound to meet it."""
    try:
        [object() for _ in range(n + 2)]
    except MemoryError:
        return False
    return True


def attempt(n, action):
    """Runs `action` with allocation n + 1 failing: (True, result, exception) when `action` met
    that allocation, (False, ...) when it finished below it."""
    result = error = None
    _testcapi.set_nomemory(n, n + 1)
    try:
        result = action()
    except BaseException as e:
        error = e
    try:
        met = reached(n)
    except MemoryError:  # the call of the probe itself met it
        met = False
    _testcapi.remove_mem_hooks()
    return met, result, error


def judge(error):
    """The outcome's name and, when it is a problem, what is wrong with it. Any Exception but
    SystemError will do: MemoryError, or the failure of whichever step met the allocation."""
    if error is None:
        return "ok", None
    name = type(error).__name__
    if not isinstance(error, MemoryError):
        name += f": {str(error)[:120]}"
    if not isinstance(error, Exception):
        return name, f"{name} is not an Exception ({type(error).__module__})"
    if isinstance(error, SystemError):
        return name, re.sub(r" at 0x[0-9a-f]+", "", f"SystemError: {error}")
    return name, None


def blame_outcome(problem, interpreter_messages):
    """Who a problem of an attempt that ended in an exception belongs to: an exception type of
    a dependency's own runtime (pyo3's PanicException, from cryptography) is that dependency's;
    a SystemError that a control call of plain Python code also shows is not ours."""
    if "is not an Exception (" in problem:
        module = problem.rsplit("(", 1)[1].rstrip(")")
        if module != "builtins":
            return f"dependency ({DEPENDENCY_RUNTIMES.get(module, module)})"
    if problem in interpreter_messages:
        return "dependency or interpreter (in the control too)"
    # Python code cannot return NULL without an exception: the interpreter lost it, as the
    # control shows in the words of its own eval loop. Our functions are named apart.
    lost = re.match(r"SystemError: <function (\w+)> returned NULL without setting an exception$",
                    problem)
    if lost and lost.group(1) not in OUR_FUNCTIONS and interpreter_messages:
        return "interpreter (a Python function lost its exception)"
    return None


OUR_FUNCTIONS = {"decrypt_txt_to_df", "get_population_density"}


DEPENDENCY_RUNTIMES = {"pyo3_runtime": "cryptography"}


# Children and their reports.

def fork_child(body, *args):
    """Forks a child that runs body(write, *args) with its stderr in a file. Returns the pid,
    the read end of a pipe the child writes JSON lines to, and the stderr file."""
    read, write = os.pipe()
    err = tempfile.TemporaryFile()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.dup2(err.fileno(), 2)
        faulthandler.enable()
        code = 0
        try:
            body(write, *args)
        except BaseException:
            traceback.print_exc()
            code = 3
        sys.stderr.flush()
        os._exit(code)
    os.close(write)
    return pid, read, err


def describe_unraisable(u):
    """An exception the interpreter could only report: where it was dropped, and what it was."""
    what = u.err_msg or "Exception ignored in"
    try:
        where = repr(u.object)[:80]
    except Exception:
        where = type(u.object).__name__
    return re.sub(r" at 0x[0-9a-f]+", "", f"{what}: {where}: {u.exc_type.__name__}")


def send(out, **record):
    os.write(out, (json.dumps(record) + "\n").encode())


def collect(pid, read, err):
    """The records the child sent, and (description, where) of its death when it did not exit
    0: `where` is the innermost Python frame faulthandler printed."""
    with os.fdopen(read, "rb") as pipe:
        records = [json.loads(line) for line in pipe.read().splitlines()]
    _, status = os.waitpid(pid, 0)
    death = where = None
    if os.WIFSIGNALED(status):
        death = f"killed by signal {os.WTERMSIG(status)}"
    elif os.WEXITSTATUS(status):
        death = f"exit status {os.WEXITSTATUS(status)}"
    if death:
        err.seek(0)
        lines = [line.strip() for line in err.read().decode(errors="replace").splitlines()]
        lines = [line for line in lines if line and not line.startswith("Extension modules:")]
        frames = [line for line in lines if line.startswith("File ")]
        where = frames[0] if frames and os.WIFSIGNALED(status) else None
        death += "".join("\n    " + line for line in (where and [where] or lines[-6:]))
    err.close()
    return records, (death, where) if death else None


# Crashes under gdb.

GDB_SCRIPT = r"""
import gdb, json
frames = []
frame = gdb.newest_frame()
while frame is not None and len(frames) < 60:
    pc = frame.pc()
    frames.append([frame.name() or "??", gdb.solib_name(pc) or ""])
    frame = frame.older()
print("NOMEMORY-FRAMES " + json.dumps(frames))
"""

SYSTEM_LIBRARIES = ("libc.so", "libstdc++", "libgcc_s", "ld-linux", "libpthread", "libm.so")


def package_of(path):
    """The package a library under site-packages belongs to ("pandas"), else its file name."""
    parts = path.split(os.sep)
    if "site-packages" in parts and parts.index("site-packages") + 1 < len(parts):
        return parts[parts.index("site-packages") + 1].split(".")[0]
    return os.path.basename(path)


def classify(frames):
    """ours / dependency (package) / interpreter, from (function, library) frames, innermost
    first: the first frame, past the C and C++ runtimes and the interpreter, that is in an
    extension module decides. The interpreter crashing on what a dependency handed it is the
    dependency's crash; the interpreter crashing under our module is ours; the interpreter
    crashing while it runs Python code is its own."""
    for function, lib in frames:
        name = os.path.basename(lib)
        if function.startswith("_PyEval_EvalFrame"):
            return "interpreter"  # running Python code: no extension module between
        if not lib or "libpython" in name or any(s in name for s in SYSTEM_LIBRARIES):
            continue
        if f"korvane{os.sep}src{os.sep}utils" in lib:
            return "ours"
        return f"dependency ({package_of(lib)})"
    return "interpreter"


def trace_crash(argv, n):
    """Runs this tool for the single N under gdb; the classified stack, or why there is none."""
    gdb = shutil.which("gdb")
    if not TRACE[0]:
        return "not traced (--no-trace)"
    if not gdb:
        return "no gdb to classify the crash"
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(GDB_SCRIPT)
    # gdb adds LINES and COLUMNS, which would shift the allocations of the run.
    command = [gdb, "-q", "-batch", "-ex", "unset environment LINES",
               "-ex", "unset environment COLUMNS", "-ex", "run", "-x", script.name, "--args",
               sys.executable, *(f"-W{option}" for option in sys.warnoptions),
               os.path.abspath(__file__), *argv, "--start", str(n), "--stride", "1"]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=600,
                              env={**os.environ, "NOMEMORY_NO_FORK": "1"})
    except subprocess.TimeoutExpired:
        return "gdb timed out"
    finally:
        os.unlink(script.name)
    for line in done.stdout.splitlines():
        if line.startswith("NOMEMORY-FRAMES "):
            frames = json.loads(line.split(" ", 1)[1])
            shown = ", ".join(f"{name}@{os.path.basename(lib) or 'python'}" for name, lib in frames[:12])
            return f"{classify(frames)}: {shown}"
    return "did not crash again under gdb"


# Imports.

def check_module(name):
    module = sys.modules[name]
    assert importlib.import_module(name) is module
    if name.endswith("sealedset"):
        assert isinstance(module.data, bytes) and len(module.data) > 0
    else:
        check_unsealer(module)


def check_unsealer(unsealer):
    saved = unsealer.data
    unsealer.data = small_token()
    try:
        frame = unsealer.get_population_density()
    finally:
        unsealer.data = saved
    assert frame.to_dict("list") == SMALL_FRAME, frame


def import_once(out, name, n):
    """Fails allocation n + 1 of importing `name`, then imports it again and uses it."""
    unraisable = []
    sys.unraisablehook = unraisable.append
    met, _, error = attempt(n, lambda: importlib.import_module(name))
    outcome, problem = judge(error)
    send(out, n=n, met=met, outcome=outcome, problem=problem,
         unraisable=list(map(describe_unraisable, unraisable)))
    if error is not None:
        importlib.import_module(name)
    check_module(name)


def prepare_import(name):
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside BLAS threads
    import korvane.src.utils  # noqa: F401 - the package the modules live in

    importlib.util.find_spec(name)  # the finder's caches, so that every child starts alike
    if name.endswith("unsealer"):
        import cryptography.fernet  # noqa: F401
        import io  # noqa: F401
        import pandas  # noqa: F401
        small_token()
    assert name not in sys.modules, f"{name} is imported already"


def sweep_import(name, stride, start, stop, argv):
    prepare_import(name)
    if NO_FORK:
        import_once(sys.stdout.fileno(), name, start)
        return {}, set()
    report = Sweep(argv)
    report.run(range(start, stop, stride), import_once, name)
    return report.as_dict(), report.sites


class Sweep:
    """The attempts of one sweep. Problems are sorted by whose they are: `problems` holds ours
    and those not yet placed, which fail the run; dependencies and the interpreter have lists
    of their own."""

    def __init__(self, argv, interpreter_messages=(), control_sites=()):
        self.argv = argv
        self.interpreter_messages = set(interpreter_messages)
        self.control_sites = set(control_sites)
        self.sites = set()  # the Python frames of crashes
        self.allocations = None
        self.tried = 0
        self.outcomes = collections.Counter()
        self.problems = []
        self.placed = collections.defaultdict(list)
        self.unraisable = collections.Counter()
        self.traced = {}  # (signal, Python frame) -> the classification of a crash there

    def problem(self, n, text, whose=None):
        label = f"N={n}: {text}" if n is not None else text
        if whose is None or whose == "ours":
            self.problems.append(label + (" [ours]" if whose else ""))
        else:
            self.placed[whose].append(label)

    def add(self, n, record, death):
        self.tried += 1
        if record:
            self.outcomes[record["outcome"]] += 1
            if record["problem"]:
                self.problem(n, record["problem"],
                             blame_outcome(record["problem"], self.interpreter_messages))
            for text in record.get("unraisable", ()):
                self.unraisable[text] += 1
        if death:
            self.crash(n, *death, reported=bool(record))

    def crash(self, n, death, where, reported):
        """A child that died at n; a crash by a signal is run again under gdb, unless one at the
        same Python frame already was."""
        whose = None
        self.sites.add(where)
        if where in self.control_sites:
            death += "\n    stack: the plain-Python control crashed at this frame too"
            self.problem(n, death, "dependency or interpreter (in the control too)")
            return
        if "signal" in death and not TRACE[0] and where and '"' in where:
            # Untraced, the innermost Python frame is all there is to go by: a crash while a
            # dependency's or the standard library's Python code runs is not under our module.
            path = where.split('"')[1]
            if "site-packages" in path:
                self.problem(n, death, f"dependency ({package_of(path)}, by its Python frame)")
                return
            # Frozen importlib runs our module's slots only from _call_with_frames_removed.
            frozen = path.startswith("<frozen ") and not where.endswith("_call_with_frames_removed")
            if frozen or path.startswith(sysconfig.get_path("stdlib") + os.sep):
                self.problem(n, death, "interpreter (by its Python frame)")
                return
        if "signal" in death:
            key = (death.split("\n")[0], where)
            if key not in self.traced and len(self.traced) < MAX_TRACED:
                self.traced[key] = trace_crash(self.argv, n)
                death += f"\n    stack: {self.traced[key]}"
            elif key in self.traced:
                death += "\n    stack: as the first crash at this frame"
            whose = self.traced.get(key, "").split(":")[0] or None
            if whose and not (whose == "ours" or whose.startswith(("dependency", "interpreter"))):
                whose = None
        self.problem(n, death + ("" if reported else " (before reporting)"), whose)

    def run(self, attempts, body, *args):
        """Each N of `attempts` in a forked child running body(out, *args, n), until the action
        finishes below its N."""
        for n in attempts:
            records, death = collect(*fork_child(body, *args, n))
            record = records[0] if records else None
            if record and not record["met"]:
                self.allocations = n
                if record["problem"] or death:
                    self.problem(n, f"without a failure: {record['problem'] or death[0]}")
                return
            self.add(n, record, death)
            if self.too_many():
                self.problem(None, "too many problems: stopped")
                return
        self.problem(None, f"no end found below {attempts.stop}")

    def too_many(self):
        return len(self.problems) + sum(map(len, self.placed.values())) > MAX_PROBLEMS

    def as_dict(self):
        report = {"allocations": self.allocations, "tried": self.tried,
                  "outcomes": dict(self.outcomes.most_common()), "problems": self.problems}
        report.update(sorted(self.placed.items()))
        if self.unraisable:
            report["unraisable"] = dict(self.unraisable)
        return report


# Calls.

def small_token():
    from cryptography.fernet import Fernet

    return Fernet(KEY).encrypt(SMALL_CSV)


def control():
    return int("x")


# NOMEMORY_PANDAS_STAND_IN=1: calls parse through a stand-in for pandas. pandas' parser
# mishandles some failed allocations and leaves the process broken in ways that vary from run to
# run, which a short sweep cannot tell from a fault of ours.
PANDAS_STAND_IN = bool(os.environ.get("NOMEMORY_PANDAS_STAND_IN"))


class FrameStandIn:
    def __init__(self, columns):
        self.columns = columns

    def to_dict(self, orient):
        return self.columns


# No function is made per call: 3.12 and 3.13 drop a reference to the code object when making
# a function fails for memory, which is their fault but would read as ours here.
def read_csv_stand_in(stream):
    header, *rows = stream.getvalue().splitlines()
    return FrameStandIn({name: [int(row.split(",")[i]) for row in rows]
                         for i, name in enumerate(header.split(","))})


def pandas_module():
    if PANDAS_STAND_IN:
        return types.SimpleNamespace(read_csv=read_csv_stand_in)
    import pandas

    return pandas


def control_steps(unsealer):
    """What decrypt_txt_to_df does, written in Python: crashes here are not ours."""
    import io

    from cryptography.fernet import Fernet

    pd = pandas_module()

    return lambda: pd.read_csv(io.StringIO(Fernet(KEY).decrypt(unsealer.data).decode()))


def calls(unsealer):
    """label -> (call, the exception of its own failure or None). The control call runs no code
    of ours: what goes wrong in it is the interpreter's."""
    from cryptography.fernet import InvalidToken

    return {
        CONTROL: (control, ValueError),
        CONTROL_STEPS: (control_steps(unsealer), None),
        "get_population_density()": (lambda: unsealer.get_population_density(), None),
        "decrypt_txt_to_df(KEY)": (lambda: unsealer.decrypt_txt_to_df(KEY), None),
        "decrypt_txt_to_df(key=KEY)": (lambda: unsealer.decrypt_txt_to_df(key=KEY), None),
        "decrypt_txt_to_df(OTHER_KEY)": (lambda: unsealer.decrypt_txt_to_df(OTHER_KEY), InvalidToken),
        "decrypt_txt_to_df(KEY[:20])": (lambda: unsealer.decrypt_txt_to_df(KEY[:20]), ValueError),
        "decrypt_txt_to_df()": (lambda: unsealer.decrypt_txt_to_df(), TypeError),
        "decrypt_txt_to_df(KEY, KEY)": (lambda: unsealer.decrypt_txt_to_df(KEY, KEY), TypeError),
        "decrypt_txt_to_df(k=KEY)": (lambda: unsealer.decrypt_txt_to_df(k=KEY), TypeError),
        "get_population_density(1)": (lambda: unsealer.get_population_density(1), TypeError),
    }


def wrong_result(result, error, expected):
    """What is wrong with a call's result or exception when nothing failed, or None."""
    if error is not None:
        if expected is not None and isinstance(error, expected):
            return None
        return f"{type(error).__name__}: {error}"
    if expected is not None:
        return f"no {expected.__name__}"
    if getattr(result, "to_dict", lambda _: None)("list") != SMALL_FRAME:
        return "wrong frame"
    return None


def prepare_call(label):
    """The call for `label`, its expected exception, warmed up: pandas and cryptography import
    lazily on first use."""
    from korvane.src.utils import unsealer

    unsealer.data = small_token()
    if PANDAS_STAND_IN:
        unsealer.pd = pandas_module()
    call, expected = calls(unsealer)[label]
    for _ in range(2):
        try:
            call()
        except Exception:
            pass
    return call, expected


def call_once(out, call, expected, n):
    """Fails allocation n + 1 of `call`, then calls it again."""
    unraisable = []
    sys.unraisablehook = unraisable.append
    met, result, error = attempt(n, call)
    outcome, problem = judge(error)
    if problem is None and error is None:
        problem = wrong_result(result, error, expected)
    if not met:
        outcome, problem = "end", wrong_result(result, error, expected)
    result = error = None
    send(out, n=n, met=met, outcome=outcome, problem=problem,
         unraisable=list(map(describe_unraisable, unraisable)))
    # Allocations work again: the call behaves as before.
    try:
        result, error = call(), None
    except Exception as e:
        result, error = None, e
    afterwards = wrong_result(result, error, expected)
    if afterwards:
        raise AssertionError(f"afterwards: {afterwards}")


def sweep_call(label, stride, start, stop, argv, interpreter_messages=(), control_sites=()):
    """Each N in a child forked from this warmed-up process, so that an N is repeatable."""
    call, expected = prepare_call(label)
    if NO_FORK:
        call_once(sys.stdout.fileno(), call, expected, start)
        return {}, set()
    report = Sweep(argv, interpreter_messages, control_sites)
    report.run(range(start, stop, stride), call_once, call, expected)
    return report.as_dict(), report.sites


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["import", "call"])
    parser.add_argument("names", nargs="*",
                        help="the module to import (default korvane.src.utils.unsealer), or the "
                             "calls to sweep (default all)")
    parser.add_argument("--stride", type=int, default=1, help="try every STRIDE-th allocation")
    parser.add_argument("--start", type=int, default=0, help="the first allocation to fail")
    parser.add_argument("--stop", type=int, default=LIMIT, help="give up at this allocation")
    parser.add_argument("--no-trace", action="store_true",
                        help="do not run crashes again under gdb to classify them")
    args = parser.parse_args()
    TRACE[0] = not args.no_trace
    if args.what == "import":
        names = args.names or ["korvane.src.utils.unsealer"]
        if len(names) != 1:
            parser.error("one module a run: each needs an interpreter that never imported it")
        report = {names[0]: sweep_import(names[0], args.stride, args.start, args.stop,
                                         ["import", names[0]])[0]}
    else:
        labels = args.names or list(calls(None))
        unknown = set(labels) - set(calls(None))
        if unknown:
            parser.error(f"unknown calls {sorted(unknown)}; known: {list(calls(None))}")
        report, sites = {}, set()
        if NO_FORK:
            # The state of the sweep's parent at the last label: every label before it warmed up.
            for label in labels[:-1]:
                prepare_call(label)
            sweep_call(labels[-1], 1, args.start, args.start + 1, None)
            return
        labels = [CONTROL, CONTROL_STEPS] + [label for label in labels if label not in CONTROLS]
        for i, label in enumerate(labels):
            seen = [p for c in CONTROLS for p in report.get(c, {}).get("problems", ())]
            # The controls are swept whole: what they show places what the others meet.
            stride = 1 if label in CONTROLS else args.stride
            report[label], crashed = sweep_call(
                label, stride, args.start, args.stop, ["call", *labels[:i + 1]],
                {p.split(": ", 1)[1] for p in seen if p.startswith("N=")}, sites)
            if label in CONTROLS:
                sites |= crashed - {None}
    if NO_FORK:
        return
    json.dump(report, sys.stdout, indent=1)
    print()
    if any(sweep["problems"] for label, sweep in report.items() if label not in CONTROLS):
        sys.exit(1)


if __name__ == "__main__":
    main()
