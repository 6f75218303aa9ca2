"""Investigates allocation failures in korvane's modules against the real pandas and cryptography.

    python tools/nomemory.py                  # every sweep below, each in its own interpreter
    python tools/nomemory.py import korvane.src.utils.unsealer | korvane.src.utils.sealedset
    python tools/nomemory.py call [LABEL ...] [--start N] [--stop N] [--stride N] [--no-trace]

Not the gate: tests/nomemory_gate.py proves our code by construction, with stand-ins for the
dependencies. This tool runs the real ones, whose own faults it meets, and says for each problem
whose it looks like and on which evidence, so that a reader can follow up.

Needs the interpreter's _testcapi. With N, allocation N + 1 of the import or call fails and
every other one succeeds; N runs from 0 until the whole import or call fits below it. Each N
runs in a child forked from a warmed-up parent, which must end the attempt in an exception (or
absorb the failure) and then import or call correctly once memory is back. A child killed by a
signal is run again, forked from the same parent, with gdb attached, and its C stack is kept.
Plain-Python control calls doing the same steps (int('x'), and Fernet + StringIO + read_csv)
are swept whole first.

Prints one JSON object: per sweep the N at which the action first ran through ("allocations"),
how the attempts ended ("outcomes") and "problems", each with "whose" and the "evidence" that
placed it; every rule that places a problem is in the section "Placing problems" below. Exits 1
only when a problem is placed as ours, 0 otherwise (unplaced problems are listed, for a closer
look: a crash inside the allocator means the heap was damaged earlier, by code that only a
memory checker can name; see the README). NOMEMORY_NO_FORK=1 runs the single N given by
--start in this process instead, for a debugger.
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
import signal
import subprocess
import sys
import sysconfig
import tempfile
import traceback
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


# Placing problems. Every rule that says whose a problem is lives in this section; each one
# returns (whose, evidence), whose being "ours", "dependency (<package>)", "interpreter",
# "dependency or interpreter" or "unplaced".

OUR_FUNCTIONS = {"decrypt_txt_to_df", "get_population_density"}
DEPENDENCY_RUNTIMES = {"pyo3_runtime": "cryptography"}
SYSTEM_LIBRARIES = ("libc.so", "libstdc++", "libgcc_s", "ld-linux", "libpthread", "libm.so")
# A crash inside one of these says only that the heap was damaged before: whoever asked for
# memory there is not who wrote where it should not.
ALLOCATOR_FUNCTIONS = {
    "pymalloc_alloc", "pymalloc_free", "pymalloc_realloc", "_PyObject_Malloc", "_PyObject_Calloc",
    "_PyObject_Realloc", "_PyObject_Free", "PyObject_Malloc", "PyObject_Free", "PyMem_Malloc",
    "PyMem_Free", "malloc", "calloc", "realloc", "free", "__libc_malloc", "__libc_free",
    "_int_malloc", "_int_free", "malloc_consolidate", "unlink_chunk", "tcache_get", "cfree",
}


def package_of(path):
    """The package a library under site-packages belongs to ("pandas"), else its file name."""
    parts = path.split(os.sep)
    if "site-packages" in parts and parts.index("site-packages") + 1 < len(parts):
        return parts[parts.index("site-packages") + 1].split(".")[0]
    return os.path.basename(path)


def place_outcome(problem, control_messages):
    """An attempt that ended in an exception it should not have ended in."""
    if "is not an Exception (" in problem:
        module = problem.rsplit("(", 1)[1].rstrip(")")
        if module != "builtins":
            package = DEPENDENCY_RUNTIMES.get(module, module)
            return f"dependency ({package})", f"the exception's type is {module}'s, {package}'s runtime"
    if problem in control_messages:
        return "dependency or interpreter", "a plain-Python control call ended the same way"
    lost = re.match(r"SystemError: <function (\w+)> returned (NULL without setting an exception|"
                    r"a result with an exception set)$", problem)
    if lost and lost.group(1) in OUR_FUNCTIONS:
        return "ours", f"the interpreter caught our {lost.group(1)} returning that"
    if lost and control_messages:
        return "interpreter", (f"{lost.group(1)} is a Python function, which cannot do that: the "
                               "interpreter lost the exception, as the control shows it doing")
    return "unplaced", "no rule applies"


def place_stack(frames):
    """A crash's C stack, innermost first, as (function, library) pairs."""
    top = frames[0][0]
    shown = ", ".join(f"{name}@{os.path.basename(lib) or 'python'}" for name, lib in frames[:10])
    if top in ALLOCATOR_FUNCTIONS:
        return "unplaced", (f"the crash is inside the allocator ({shown}): the heap was damaged "
                            "earlier, by code this stack does not show; run this N under valgrind "
                            "with PYTHONMALLOC=malloc to name it (README)")
    for function, lib in frames:
        name = os.path.basename(lib)
        if function.startswith("_PyEval_EvalFrame"):
            return "interpreter", f"the interpreter crashed running Python code: {shown}"
        if not lib or "libpython" in name or any(s in name for s in SYSTEM_LIBRARIES):
            continue
        whose = "ours" if f"korvane{os.sep}src{os.sep}utils" in lib else f"dependency ({package_of(lib)})"
        return whose, f"the innermost library past the C library and the interpreter is {name}: {shown}"
    return "interpreter", f"only the interpreter and the C library are on the stack: {shown}"


def place_python_frame(where, no_stack):
    """Without a C stack, the innermost Python frame that faulthandler printed."""
    if not where or '"' not in where:
        return None
    path = where.split('"')[1]
    if "site-packages" in path:
        return f"dependency ({package_of(path)})", f"{no_stack}; the innermost Python frame is {path}"
    # Frozen importlib runs our module's slots only from _call_with_frames_removed.
    frozen = path.startswith("<frozen ") and not where.endswith("_call_with_frames_removed")
    if frozen or path.startswith(sysconfig.get_path("stdlib") + os.sep):
        return "interpreter", f"{no_stack}; the innermost Python frame is the standard library's {path}"
    return None


def place_crash(frames, why_no_frames, where, control_sites):
    """A child killed by a signal: its C stack first, then the controls, then its Python frame."""
    by_stack = place_stack(frames) if frames else None
    if by_stack and by_stack[0] != "unplaced":
        return by_stack
    if where in control_sites:
        evidence = "the plain-Python control crashed at the same Python frame"
        return "dependency or interpreter", evidence + (f"; {by_stack[1]}" if by_stack else "")
    if by_stack:
        return by_stack
    no_stack = f"no C stack ({why_no_frames})"
    return place_python_frame(where, no_stack) or ("unplaced", f"{no_stack}; innermost Python frame: {where}")


def place_in_control(whose, evidence):
    """A problem of a plain-Python control call, in which no code of ours runs."""
    if whose in ("ours", "unplaced"):
        return "dependency or interpreter", f"a plain-Python control, no korvane code runs; {evidence}"
    return whose, evidence


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


def wait_for(out, body, *args):
    """body(out, *args) once gdb has attached and sent SIGUSR1: waiting allocates nothing, so that
    the child starts from the heap its parent left, as the crashed one did."""
    signal.sigwait(WAKE)
    body(out, *args)


WAKE = {signal.SIGUSR1}


def trace_crash(body, args):
    """Runs body(out, *args) again in a child forked from this same parent, with gdb attached
    before it starts. (frames, None), or (None, why there are none)."""
    gdb = shutil.which("gdb")
    if not TRACE[0]:
        return None, "not traced: --no-trace"
    if not gdb:
        return None, "no gdb"
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "frames.py")
        with open(script, "w") as f:
            f.write(GDB_SCRIPT)
        signal.pthread_sigmask(signal.SIG_BLOCK, WAKE)  # inherited: sigwait takes it
        try:
            pid, read, err = fork_child(wait_for, body, *args)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, WAKE)
        command = [gdb, "-q", "-batch", "-p", str(pid), "-ex", "handle SIGUSR1 nostop noprint pass",
                   "-ex", f"shell kill -USR1 {pid}", "-ex", "continue", "-x", script]
        try:
            out = subprocess.run(command, capture_output=True, text=True, timeout=300).stdout
        except subprocess.TimeoutExpired:
            out = ""
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        collect(pid, read, err)
    for line in out.splitlines():
        if line.startswith("NOMEMORY-FRAMES "):
            return json.loads(line.split(" ", 1)[1]), None
    return None, "it did not crash again with gdb attached"


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


def sweep_import(name, stride, start, stop):
    prepare_import(name)
    if NO_FORK:
        import_once(sys.stdout.fileno(), name, start)
        return {}
    report = Sweep()
    report.run(range(start, stop, stride), import_once, name)
    return report.as_dict()


class Sweep:
    """The attempts of one sweep and their problems, each placed with its evidence."""

    def __init__(self, control_messages=(), control_sites=(), control=False):
        self.control = control
        self.control_messages = set(control_messages)
        self.control_sites = set(control_sites)
        self.sites = set()  # the Python frames of crashes
        self.allocations = None
        self.tried = 0
        self.outcomes = collections.Counter()
        self.problems = []
        self.unraisable = collections.Counter()
        self.traced = {}  # (signal, Python frame) -> (frames, why there are none)

    def problem(self, n, what, whose="unplaced", evidence=""):
        if self.control and n is not None:
            whose, evidence = place_in_control(whose, evidence)
        self.problems.append({"n": n, "what": what, "whose": whose, "evidence": evidence})

    def add(self, n, record, death, body, args):
        self.tried += 1
        if record:
            self.outcomes[record["outcome"]] += 1
            if record["problem"]:
                self.problem(n, record["problem"],
                             *place_outcome(record["problem"], self.control_messages))
            for text in record.get("unraisable", ()):
                self.unraisable[text] += 1
        if death:
            self.crash(n, *death, reported=bool(record), body=body, args=args)

    def crash(self, n, death, where, reported, body, args):
        """A child that died at n. One killed by a signal is run again with gdb attached,
        unless one at the same Python frame already was."""
        self.sites.add(where)
        what = death + ("" if reported else " (before reporting)")
        if "signal" not in death:
            self.problem(n, what, "unplaced", "it exited with an error: see its last lines")
            return
        key = (death.split("\n")[0], where)
        if key not in self.traced:
            if len(self.traced) < MAX_TRACED:
                self.traced[key] = trace_crash(body, (*args, n))
            else:
                self.traced[key] = (None, "not traced: enough crash sites traced in this sweep")
        frames, why = self.traced[key]
        self.problem(n, what, *place_crash(frames, why, where, self.control_sites))

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
            self.add(n, record, death, body, args)
            if len(self.problems) > MAX_PROBLEMS:
                self.problem(None, "too many problems: stopped")
                return
        self.problem(None, f"no end found below {attempts.stop}")

    def as_dict(self):
        report = {"allocations": self.allocations, "tried": self.tried,
                  "outcomes": dict(self.outcomes.most_common()), "problems": self.problems}
        if self.unraisable:
            report["unraisable"] = dict(self.unraisable)
        return report


# Calls.

def small_token():
    from cryptography.fernet import Fernet

    return Fernet(KEY).encrypt(SMALL_CSV)


def control():
    return int("x")


def control_steps(unsealer):
    """What decrypt_txt_to_df does, written in Python: crashes here are not ours."""
    import io

    from cryptography.fernet import Fernet

    import pandas as pd

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


def sweep_call(label, stride, start, stop, control_messages=(), control_sites=()):
    """Each N in a child forked from this warmed-up process, so that an N is repeatable."""
    call, expected = prepare_call(label)
    if NO_FORK:
        call_once(sys.stdout.fileno(), call, expected, start)
        return {}, set()
    report = Sweep(control_messages, control_sites, control=label in CONTROLS)
    report.run(range(start, stop, stride), call_once, call, expected)
    return report.as_dict(), report.sites


SWEEPS = [["import", "korvane.src.utils.sealedset"], ["import", "korvane.src.utils.unsealer"],
          ["call"]]


def sweep_all(options):
    """Every sweep, each in an interpreter of its own (an import needs one that never made it)."""
    report, code = {}, 0
    for argv in SWEEPS:
        done = subprocess.run([sys.executable, *(f"-W{w}" for w in sys.warnoptions),
                               os.path.abspath(__file__), *argv, *options],
                              stdout=subprocess.PIPE, text=True)
        code = max(code, done.returncode)
        try:
            report.update(json.loads(done.stdout))
        except ValueError:
            report[" ".join(argv)] = {"problems": [{"n": None, "what": f"the sweep failed ({done.returncode})",
                                                    "whose": "unplaced", "evidence": ""}]}
            code = max(code, 2)
    return report, code


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", nargs="?", choices=["import", "call"],
                        help="one sweep (default: all of them, one interpreter each)")
    parser.add_argument("names", nargs="*",
                        help="the module to import (default korvane.src.utils.unsealer), or the "
                             "calls to sweep (default all)")
    parser.add_argument("--stride", type=int, default=1, help="try every STRIDE-th allocation")
    parser.add_argument("--start", type=int, default=0, help="the first allocation to fail")
    parser.add_argument("--stop", type=int, default=LIMIT, help="give up at this allocation")
    parser.add_argument("--no-trace", action="store_true",
                        help="do not run crashes again with gdb attached to place them")
    args = parser.parse_args()
    TRACE[0] = not args.no_trace
    if args.what is None:
        options = [f"--stride={args.stride}", f"--start={args.start}", f"--stop={args.stop}"]
        report, code = sweep_all(options + ["--no-trace"] * args.no_trace)
        json.dump(report, sys.stdout, indent=1)
        print()
        sys.exit(code)
    if args.what == "import":
        names = args.names or ["korvane.src.utils.unsealer"]
        if len(names) != 1:
            parser.error("one module a run: each needs an interpreter that never imported it")
        report = {f"import {names[0]}": sweep_import(names[0], args.stride, args.start, args.stop)}
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
            sweep_call(labels[-1], 1, args.start, args.start + 1)
            return
        labels = [CONTROL, CONTROL_STEPS] + [label for label in labels if label not in CONTROLS]
        for label in labels:
            seen = [p for c in CONTROLS for p in report.get(c, {}).get("problems", ())]
            # The controls are swept whole: what they show places what the others meet.
            stride = 1 if label in CONTROLS else args.stride
            report[label], crashed = sweep_call(
                label, stride, args.start, args.stop,
                {p["what"] for p in seen if p["n"] is not None}, sites)
            if label in CONTROLS:
                sites |= crashed - {None}
    if NO_FORK:
        return
    json.dump(report, sys.stdout, indent=1)
    print()
    ours = [p for label, sweep in report.items() if label not in CONTROLS
            for p in sweep["problems"] if p["whose"] == "ours"]
    sys.exit(1 if ours else 0)


if __name__ == "__main__":
    main()
