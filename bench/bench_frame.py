"""Module frame against plain Python: global reads and calls, on the running interpreter.

Needs the test-only module frametest, which the test suite builds (build/tests/<SOABI>/);
or pass its directory with --build. Timed with timeit; no timing is asserted anywhere.

    python bench/bench_frame.py [--build DIR] [--repeat N]
"""

import argparse
import importlib.machinery
import importlib.util
import pathlib
import sys
import sysconfig
import timeit

DOTTED = "korvane.tests.frametest"
REPO = pathlib.Path(__file__).resolve().parents[1]


def load(build):
    path = build / "frametest" / f"frametest{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not path.exists():
        sys.exit(f"{path} is missing: run the test suite (or cmake -DKORVANE_TEST_MODULES=ON) first")
    loader = importlib.machinery.ExtensionFileLoader(DOTTED, str(path))
    spec = importlib.util.spec_from_file_location(DOTTED, str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The plain-Python counterparts live in a module namespace of their own, like the frame's.
PLAIN = """
x = object()

def read_global():
    return x

def read_x(n):
    for _ in range(n):
        x
    return x

def echo(key):
    return key

def noargs():
    return None
"""


def best(statement, namespace, repeat):
    """Nanoseconds per execution of `statement`, the best of `repeat` runs."""
    timer = timeit.Timer(statement, globals=namespace)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path,
                        default=REPO / "build" / "tests" / sysconfig.get_config_var("SOABI"))
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    ft = load(args.build)
    plain = {}
    exec(compile(PLAIN, "plain", "exec"), plain)
    ft.x = plain["x"]
    loop = 1000
    namespace = {"ft": ft, "plain": plain, "read_global": plain["read_global"],
                 "py_read_x": plain["read_x"], "echo": plain["echo"], "noargs": plain["noargs"],
                 "loop": loop}

    rows = [
        ("global read, per call", "ft.lookup('x')", "read_global()", 1),
        (f"global read, {loop} in a loop", "ft.read_x(loop)", "py_read_x(loop)", loop),
        ("call f(1)", "ft.echo(1)", "echo(1)", 1),
        ("call f(key=1)", "ft.echo(key=1)", "echo(key=1)", 1),
        ("call f()", "ft.noargs()", "noargs()", 1),
        ("frame::call of f(1)", "ft.call(ft.echo, 1)", "ft.call(echo, 1)", 1),
    ]
    version = "%d.%d.%d" % sys.version_info[:3]
    print(f"CPython {version}, best of {args.repeat}, ns per operation")
    print(f"{'operation':32} {'frame':>9} {'python':>9} {'ratio':>7}")
    for label, frame_stmt, python_stmt, per in rows:
        frame_ns = best(frame_stmt, namespace, args.repeat) / per
        python_ns = best(python_stmt, namespace, args.repeat) / per
        print(f"{label:32} {frame_ns:9.1f} {python_ns:9.1f} {frame_ns / python_ns:7.2f}")


if __name__ == "__main__":
    main()
