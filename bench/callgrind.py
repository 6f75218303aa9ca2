"""Instructions per call of the frame, counted by callgrind, on each interpreter.

Each row runs in two fresh interpreters under callgrind, one making N calls and one 2N; the
difference over N is the cost of one call, start-up and import cancelling out. Counts do not
drift with the machine's load, so a change to the frame shows as a change in these figures.

- decrypt: `decrypt_txt_to_df(key)` of unsealer with the builtin stand-ins of
  bench_modules.py (the frame alone); `pandas` and `cryptography.fernet` are stand-in
  modules too, so that the import stays short under callgrind.
- echo(1), echo(key=1), call(echo, 1): the test-only module frametest.

Each figure is all instructions / those in our libraries' own functions (the frame and the
module code, not the interpreter functions they call). Where the count depends on the heap
layout (see LAYOUTS), the figure is a median.

The modules are built with CMake for each interpreter into build/callgrind/<SOABI>.

    python bench/callgrind.py [--python PATH ...] [--calls N]
"""

import argparse
import glob
import os
import pathlib
import re
import subprocess
import tempfile
import textwrap

REPO = pathlib.Path(__file__).resolve().parents[1]
BENCH = REPO / "bench"
PYENV = pathlib.Path(os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))) / "versions"
VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

# Loads unsealer from the build directory under its package name, its imports answered by
# stand-in modules, and frametest beside it.
CHILD = """
import collections, functools, gc, importlib.machinery, importlib.util, itertools, sys, types
build, calls, row = {build!r}, {calls}, {row!r}
for name in ("korvane", "korvane.src", "korvane.src.utils"):
    package = types.ModuleType(name)
    package.__path__ = [build] if name.endswith("utils") else []
    sys.modules[name] = package
spec = importlib.util.spec_from_file_location("bench_modules", {bench_modules!r})
bench_modules = importlib.util.module_from_spec(spec)
spec.loader.exec_module(bench_modules)
for name in ("pandas", "cryptography", "cryptography.fernet"):
    sys.modules[name] = types.ModuleType(name)
sys.modules["cryptography.fernet"].Fernet = None
path = build + "/frametest/frametest" + importlib.machinery.EXTENSION_SUFFIXES[0]
loader = importlib.machinery.ExtensionFileLoader("korvane.tests.frametest", path)
spec = importlib.util.spec_from_file_location("korvane.tests.frametest", path, loader=loader)
ft = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ft)
import korvane.src.utils.unsealer as unsealer
for name, value in bench_modules.BUILTIN_STANDINS.items():
    setattr(unsealer, name, value)
key = bench_modules.KEY
assert unsealer.decrypt_txt_to_df(key) == bench_modules.PLAINTEXT.decode()
function, args = {{
    "decrypt": (unsealer.decrypt_txt_to_df, (key,)),
    "echo(1)": (ft.echo, (1,)),
    "echo(key=1)": (functools.partial(ft.echo, key=1), ()),
    "call(echo, 1)": (ft.call, (ft.echo, 1)),
}}[row]
# Only what starmap's next does is counted: the calls, and starmap's own constant share. The
# collector would run at points that depend on what start-up allocated.
gc.collect()
gc.disable()
collections.deque(itertools.starmap(function, itertools.repeat(args, calls)), maxlen=0)
"""
ROWS = ["decrypt", "echo(1)", "echo(key=1)", "call(echo, 1)"]
# The interpreter's attribute cache is indexed by the address of the name, so what a call costs
# depends a little on where start-up happened to put things. decrypt fetches attributes by the
# handful: its figure is the median over five heap layouts, shifted by an environment variable.
LAYOUTS = {row: (0,) for row in ROWS} | {"decrypt": (0, 24, 48, 72, 96)}


def interpreters():
    found = []
    for version in VERSIONS:
        candidates = sorted(glob.glob(str(PYENV / f"{version}.*" / "bin" / "python")))
        found += candidates[-1:]
    return found


def build(python):
    soabi = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_config_var('SOABI'))"],
                           capture_output=True, text=True, check=True).stdout.strip()
    directory = REPO / "build" / "callgrind" / soabi
    for command in (["cmake", "-S", str(REPO), "-B", str(directory), "-G", "Ninja",
                     f"-DPython_EXECUTABLE={python}", "-DKORVANE_TEST_MODULES=ON"],
                    ["cmake", "--build", str(directory)]):
        subprocess.run(command, check=True, capture_output=True)
    return directory


def instructions(python, directory, row, calls, pad=0):
    """(all instructions, those in our libraries) counted while starmap runs the calls."""
    code = CHILD.format(build=str(directory), calls=calls, row=row,
                        bench_modules=str(BENCH / "bench_modules.py"))
    with tempfile.TemporaryDirectory() as scratch:
        done = subprocess.run(
            # Without address randomisation, so that a layout is the same in both runs.
            ["setarch", "-R", "valgrind", "--tool=callgrind", "--collect-atstart=no",
             "--toggle-collect=starmap_next", f"--callgrind-out-file={scratch}/out",
             python, "-I", "-c", textwrap.dedent(code)],
            cwd=scratch, capture_output=True, text=True,
            env={**os.environ, "PYTHONHASHSEED": "0", "CALLGRIND_PAD": "x" * pad})
        if done.returncode:
            raise SystemExit(f"{python} {row}: failed\n{done.stderr}")
        total = int(re.search(r"Collected : (\d+)", done.stderr).group(1))
        own = own_instructions(f"{scratch}/out", directory)
    return total, own


def own_instructions(profile, directory):
    """The instructions spent in functions of the libraries under `directory`."""
    listing = subprocess.run(["callgrind_annotate", "--threshold=100", profile],
                             capture_output=True, text=True, check=True).stdout
    own = 0
    for line in listing.splitlines():
        found = re.match(r"\s*([\d,]+) .*\[(.*)\]\s*$", line)
        if found and found.group(2).startswith(str(directory)):
            own += int(found.group(1).replace(",", ""))
    return own


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter (default: pyenv's 3.8 to 3.13)")
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    print(f"instructions per call, ({args.calls * 2} calls - {args.calls} calls) / {args.calls}:"
          " all of them / those in our libraries")
    print(f"{'python':10}" + "".join(f"{row:>20}" for row in ROWS))
    for python in args.python or interpreters():
        directory = build(python)
        version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        figures = []
        for row in ROWS:
            runs = []
            for pad in LAYOUTS[row]:
                once = instructions(python, directory, row, args.calls, pad)
                twice = instructions(python, directory, row, 2 * args.calls, pad)
                runs.append([(b - a) / args.calls for a, b in zip(once, twice)])
            # The median layout by all instructions; ours do not depend on the layout.
            runs.sort()
            total, own = runs[len(runs) // 2]
            figures.append(f"{total:.0f} / {own:.0f}")
        print(f"{version:10}" + "".join(f"{figure:>20}" for figure in figures), flush=True)


if __name__ == "__main__":
    main()
