"""The Python package around the extension modules: its names, metadata and command line."""

import importlib.metadata
import subprocess
import sys

import pytest

from conftest import REPO


def test_import_korvane_loads_no_dependency(run_py):
    done = run_py("""
        import sys, korvane
        print(korvane.__version__, sorted(m for m in ("pandas", "cryptography",
              "korvane.src.utils.unsealer") if m in sys.modules))
    """)
    assert done.stdout.split() == [importlib.metadata.version("korvane"), "[]"]


def test_functions_are_the_extension_modules_own():
    import korvane
    from korvane.src.utils import unsealer

    assert korvane.get_population_density is unsealer.get_population_density
    assert korvane.decrypt_txt_to_df is unsealer.decrypt_txt_to_df
    assert {"get_population_density", "decrypt_txt_to_df", "__version__"} <= set(dir(korvane))
    with pytest.raises(AttributeError, match="'korvane' has no attribute 'pd'"):
        korvane.pd  # noqa: B018


def test_distribution_carries_its_licences():
    dist = importlib.metadata.distribution("korvane")
    files = {f.name for f in dist.files if ".dist-info" in str(f)}
    assert {"LICENSE", "DATA-LICENSES.md"} <= files
    assert dist.metadata["License-Expression"] == "MIT AND CC-BY-4.0 AND CC-BY-3.0-IGO"
    minors = {c.rsplit(".", 1)[1] for c in dist.metadata.get_all("Classifier")
              if c.startswith("Programming Language :: Python :: 3.")}
    assert f"{sys.version_info.minor}" in minors


def korvane_main(tmp_path, *argv):
    return subprocess.run([sys.executable, "-m", "korvane", *argv], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("argv, expected", [
    (["--version"], f"korvane {importlib.metadata.version('korvane')}\n"),
    (["--help"], "usage: python -m korvane"),
    ([], "population density of"),
    (["--year", "1950", "--top", "2"], "densest in 1950:"),
])
def test_command_line(tmp_path, argv, expected):
    done = korvane_main(tmp_path, *argv)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout


def test_command_line_names_the_years_it_has(tmp_path):
    done = korvane_main(tmp_path, "--year", "1900")
    assert done.returncode == 1
    assert "no figures for 1900; the data set covers 1950 to" in done.stderr


def test_readme_python_examples_run_as_written(run_py):
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    blocks = [block.split("```", 1)[0] for block in readme.split("```python\n")[1:]]
    assert blocks
    for block in blocks:
        run_py(block)
