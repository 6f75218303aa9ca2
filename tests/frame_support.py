"""The test-only module frametest: loading it, in this process or a fresh one."""

import importlib.machinery
import importlib.util
import sys

import pytest

from conftest import AT_LEAST_3_12, SEP, built, load_code

DOTTED = "korvane.tests.frametest"
FILE = SEP.join(DOTTED.split("."))
# Which behaviour the build for this interpreter has.
VARIANT = "3.12" if AT_LEAST_3_12 else "3.8"


def frametest_path(build):
    return built(build, "frametest", "frametest")


def load_frametest(build):
    """The module, loaded once per process under its dotted name."""
    module = sys.modules.get(DOTTED)
    if module is None:
        path = str(frametest_path(build))
        loader = importlib.machinery.ExtensionFileLoader(DOTTED, path)
        spec = importlib.util.spec_from_file_location(DOTTED, path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return module


def prelude(build):
    """Source that defines load() -> frametest, for fresh interpreters."""
    return load_code(frametest_path(build), DOTTED)


@pytest.fixture(scope="module")
def ft(test_build):
    return load_frametest(test_build)


def module_entries(error):
    """(name, file, line) of the traceback entries that frametest added."""
    entries = []
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == FILE:
            entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries
