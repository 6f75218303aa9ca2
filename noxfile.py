"""Build and test korvane on every supported interpreter: ``python3 -m nox``."""

import glob
import os
import shutil
import sys

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

nox.options.sessions = ["tests", "sanitize"]
nox.options.error_on_missing_interpreters = True
nox.options.reuse_existing_virtualenvs = True


def _expose_pyenv_interpreters():
    """pyenv only puts the active version on PATH; nox looks for python3.X there."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for version in PYTHONS:
        found = glob.glob(os.path.join(root, "versions", f"{version}.*", "bin"))
        found = [d for d in found if os.path.exists(os.path.join(d, f"python{version}"))]
        if found:
            newest = max(found, key=lambda d: [int(p) for p in d.split(os.sep)[-2].split(".")[:3] if p.isdigit()])
            os.environ["PATH"] = newest + os.pathsep + os.environ["PATH"]


_expose_pyenv_interpreters()

ROOT = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(ROOT, "tools")


@nox.session(python=PYTHONS, venv_backend="venv")
def tests(session):
    """Install the package for this interpreter and run the whole suite."""
    session.install(".[test]")
    session.run("pytest", *session.posargs)


@nox.session(python=["3.11", "3.12"], venv_backend="venv")
def sanitize(session):
    """The suite against AddressSanitizer and UndefinedBehaviorSanitizer builds."""
    gcc_lib = lambda name: session.run(  # noqa: E731
        "gcc", f"-print-file-name={name}", silent=True, external=True).strip()
    session.install("-Cbuild-dir=build/sanitize/{wheel_tag}", "-Cinstall.strip=false",
                    "-Ccmake.define.KORVANE_SANITIZE=ON", ".[test]")
    # Reports go to files: pytest captures a test's stderr, and loses it when the runtime
    # aborts the process.
    reports = os.path.join(os.path.abspath(session.create_tmp()), "sanitizer-reports")
    shutil.rmtree(reports, ignore_errors=True)
    os.makedirs(reports)
    env = {
        "KORVANE_SANITIZE": "1",
        # The runtimes must come first; the interpreter itself is not instrumented.
        "LD_PRELOAD": f"{gcc_lib('libasan.so')} {gcc_lib('libubsan.so')}",
        # Every allocation through malloc, so that ASan sees the objects we touch.
        "PYTHONMALLOC": "malloc",
        # No leak detection: the interpreter does not free everything at exit, which
        # LeakSanitizer would report as ours; what a call keeps is measured by the normal
        # suite. Stack frames used after return and globals read before their constructor
        # ran are reported too.
        "ASAN_OPTIONS": ":".join([
            "detect_leaks=0", "abort_on_error=1", "detect_stack_use_after_return=1",
            "check_initialization_order=1", "strict_init_order=1",
            f"log_path={os.path.join(reports, 'asan')}",
            f"suppressions={os.path.join(TOOLS, 'asan.supp')}"]),
        "UBSAN_OPTIONS": ":".join([
            "print_stacktrace=1", "halt_on_error=1", "report_error_type=1",
            f"log_path={os.path.join(reports, 'ubsan')}",
            f"suppressions={os.path.join(TOOLS, 'ubsan.supp')}"]),
    }
    try:
        session.run("pytest", *session.posargs, env=env)
    finally:
        found = sorted(glob.glob(os.path.join(reports, "*")))
        for path in found:
            with open(path) as report:
                print(f"--- {path}", report.read(), sep="\n", file=sys.stderr)
    # A report from a subprocess whose test expected it to fail would otherwise pass unseen.
    if found:
        session.error(f"{len(found)} sanitizer report(s) in {reports}")


@nox.session(python="3.12", venv_backend="venv")
def memcheck(session):
    """Both modules imported and called under valgrind memcheck (see tools/memcheck.py)."""
    # Release code as shipped, with debug information for readable reports.
    session.install("-Cbuild-dir=build/memcheck/{wheel_tag}",
                    "-Ccmake.define.CMAKE_CXX_FLAGS=-g", "-Cinstall.strip=false", ".")
    session.run("python", os.path.join(TOOLS, "memcheck.py"), *session.posargs)


@nox.session(python=PYTHONS, venv_backend="venv")
def bench(session):
    """Time the modules against plain Python; bench/report.py turns the results into a table."""
    session.install(".", "pyperf")
    script = os.path.join(ROOT, "bench", "bench_modules.py")
    session.run("python", script, *session.posargs)
