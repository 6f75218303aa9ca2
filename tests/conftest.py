"""Shared fixtures: the installed package, test-only native builds and fresh interpreters."""

import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parents[1]
TOKEN = REPO / "data" / "population_density.token"
CSV = REPO / "data" / "population_density.csv"
KEY = b"Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="
# What the interpreter does differently from 3.12 on, which the libraries must follow.
AT_LEAST_3_12 = sys.version_info >= (3, 12)
# The suite runs against AddressSanitizer builds (nox -s sanitize).
SANITIZED = os.environ.get("KORVANE_SANITIZE") == "1"
FRAMETEST = "korvane.tests.frametest"


def pytest_collection_modifyitems(items):
    # Selectable with -m "not build" where no compiler is at hand, as when testing a wheel.
    for item in items:
        if "test_build" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.build)


def library(name):
    """Path of an installed extension module of korvane.src.utils."""
    spec = importlib.util.find_spec(f"korvane.src.utils.{name}")
    assert spec is not None and spec.origin, f"korvane.src.utils.{name} is not installed"
    origin = pathlib.Path(spec.origin)
    assert REPO / "python" not in origin.parents, f"{origin} is not the installed package: pip install . first"
    return origin


@pytest.fixture(scope="session")
def csv_file():
    """The data set in plain text, which stays in the repository: an sdist has only the token."""
    if not CSV.exists():
        pytest.skip(f"{CSV.name} is absent: an sdist ships only the sealed token")
    return CSV


def _tool(name):
    found = shutil.which(name) or shutil.which(name, path=os.path.dirname(sys.executable))
    if not found:
        pytest.fail(f"{name} is needed to build the test-only modules (pip install {name})")
    return found


@pytest.fixture(scope="session")
def test_build():
    """Directory of the test-only extension modules, built for this interpreter."""
    build = REPO / "build" / ("tests-sanitize" if SANITIZED else "tests") / sysconfig.get_config_var("SOABI")
    configure = [
        _tool("cmake"), "-S", str(REPO), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DKORVANE_TEST_MODULES=ON",
        f"-DKORVANE_SANITIZE={'ON' if SANITIZED else 'OFF'}",
    ]
    for command in (configure, [_tool("cmake"), "--build", str(build)]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode:
            pytest.fail(f"test build failed:\n{done.stdout}\n{done.stderr}")
    return build


def built(build, name, subdir="."):
    """Path of a test-only module called `name` in `subdir` of the test build."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return build / subdir / f"{name}{suffix}"


def frametest_path(build):
    return built(build, "frametest", "frametest")


def load_frametest(build):
    """The test-only module frametest, loaded once per process under its dotted name."""
    module = sys.modules.get(FRAMETEST)
    if module is None:
        path = str(frametest_path(build))
        loader = importlib.machinery.ExtensionFileLoader(FRAMETEST, path)
        spec = importlib.util.spec_from_file_location(FRAMETEST, path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def ft(test_build):
    return load_frametest(test_build)


@pytest.fixture(scope="session")
def switches(test_build):
    """What the libraries built for this interpreter decided by its version (the path
    separator, compressed constant tables, ...), as the test module built with them says."""
    return load_frametest(test_build).switches()


@pytest.fixture(scope="session")
def file_name(switches):
    """The file name that a module's tracebacks and code objects carry, from its dotted name."""
    return lambda dotted: dotted.replace(".", switches["path_separator"])


@pytest.fixture
def run_py(tmp_path):
    """Runs Python code in a fresh interpreter, outside the source tree."""

    def run(code, *options, check=True, prelude=""):
        done = subprocess.run(
            [sys.executable, *options, "-c", prelude + textwrap.dedent(code)],
            cwd=tmp_path, capture_output=True, text=True, timeout=300,
        )
        if check and done.returncode:
            pytest.fail(f"subprocess failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done

    return run


def load_code(path, name):
    """Source that loads the extension module at `path` under the module name `name`."""
    return textwrap.dedent(f"""
        import importlib.machinery, importlib.util, sys
        def load(path={str(path)!r}, name={name!r}):
            loader = importlib.machinery.ExtensionFileLoader(name, path)
            spec = importlib.util.spec_from_file_location(name, path, loader=loader)
            module = importlib.util.module_from_spec(spec)
            sys.modules[name] = module
            try:
                spec.loader.exec_module(module)
            except BaseException:
                del sys.modules[name]
                raise
            return module
    """)
