"""Allocation failures: with one allocation failing at a time, an import or a call of the modules
ends in an exception, never a crash, and works again afterwards. A strided sweep of
tools/nomemory.py; the full one (--stride 1) is run by hand."""

import importlib.util
import json
import subprocess
import sys

import pytest

from conftest import REPO

TOOL = REPO / "tools" / "nomemory.py"

pytestmark = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                                reason="this interpreter has no _testcapi to fail allocations with")

SWEEPS = {
    "import sealedset": (["import", "korvane.src.utils.sealedset"], 2),
    "import unsealer": (["import", "korvane.src.utils.unsealer"], 7),
    "calls": (["call", "get_population_density()", "decrypt_txt_to_df(KEY)",
               "decrypt_txt_to_df(OTHER_KEY)", "decrypt_txt_to_df(KEY[:20])",
               "decrypt_txt_to_df()", "get_population_density(1)"], 17),
}


@pytest.mark.parametrize("argv, stride", SWEEPS.values(), ids=SWEEPS.keys())
def test_allocation_failures_end_in_exceptions(tmp_path, argv, stride):
    # Crashes inside pandas, cryptography or the interpreter are placed by the plain-Python
    # control calls or by their innermost Python frame; only what is left counts.
    done = subprocess.run([sys.executable, str(TOOL), *argv, "--stride", str(stride), "--no-trace"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.stdout, done.stderr
    report = json.loads(done.stdout)
    for label, sweep in report.items():
        assert sweep["allocations"] is not None, (label, sweep)
        if not label.startswith("control"):
            assert sweep["problems"] == [], (label, sweep)
    assert done.returncode == 0, done.stderr
