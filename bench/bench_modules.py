"""The two modules against the same job done by a plain Python module, on the running interpreter.

The plain counterpart is generated from data/population_density.token into a scratch
directory: a package `plainkorvane` with `sealedset.py` (the token as a bytes literal) and
`unsealer.py` (the same statements as ours, on the same lines), compiled to cached bytecode
before anything is timed. Both sides are measured in the same run, with pyperf:

- import: `import korvane.src.utils.sealedset` against `import plainkorvane.sealedset` in a
  fresh interpreter each, the parent package imported beforehand; the child times only the
  import statement with perf_counter and reports it. From 3.12 our constant table is one zlib
  stream, so the inflation of an equal stream is timed on its own as well.
- end to end: `get_population_density()`.
- frame: `decrypt_txt_to_df(key)` with `Fernet`, `pd` and `data` rebound to builtin stand-ins,
  which leaves argument binding, global reads, calls and the per-call `from io import StringIO`;
  and `decrypt_txt_to_df()`, the missing-argument TypeError.
- side by side: end to end and the frame (also with Python-function stand-ins), both modules
  in one fresh interpreter each, timed in alternating order.
- memory: the tracemalloc peak of one `get_population_density()` call (and of the import),
  each in a fresh interpreter, as a multiple of the plaintext size, and the page faults a call.

    python bench/bench_modules.py [--fast] [--import-loops N] [other pyperf options]

Writes bench/results/<python version>.json; bench/report.py turns those into the table in
bench/README.md. Nothing here is a test: no timing is asserted.
"""

import argparse
import itertools
import json
import operator
import os
import pathlib
import platform
import py_compile
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import types
import zlib

REPO = pathlib.Path(__file__).resolve().parents[1]
TOKEN = REPO / "data" / "population_density.token"
RESULTS = REPO / "bench" / "results"
KEY = b"Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="

# numpy's BLAS threads spin for a while after pandas starts them and take a core from the timed
# process on a small machine; neither side uses BLAS.
QUIET = {"OPENBLAS_NUM_THREADS": "1"}
QUIET_ENV = {**os.environ, **QUIET}

OURS = "korvane.src.utils"
PLAIN = "plainkorvane"

# Line for line what unsealer runs, its statements on the same lines as ours report them.
PLAIN_UNSEALER = '''\
import pandas as pd
from cryptography.fernet import Fernet

from .sealedset import data

def decrypt_txt_to_df(key):
    cipher = Fernet(key)
    # Fernet checks the HMAC over the whole token before it decrypts anything,
    # so a wrong key or a changed byte raises InvalidToken here and nothing
    # half-decrypted is ever parsed.
    decrypted_data = cipher.decrypt(data)

    from io import StringIO
    df = pd.read_csv(StringIO(decrypted_data.decode()))

    return df

def get_population_density():
    # The key the data set was sealed with.
    key = {key!r}
    return decrypt_txt_to_df(key)
'''

# Runs in a fresh interpreter: the parent package first, then only the import is timed.
IMPORT_CHILD = '''\
import sys, time
sys.path.insert(0, {scratch!r})
import {parent}
start = time.perf_counter()
import {parent}.sealedset
stop = time.perf_counter()
sys.stdout.write(repr(stop - start))
'''

MEMORY_CHILD = '''\
import gc, importlib, resource, sys, tracemalloc, warnings
warnings.simplefilter("ignore")
sys.path.insert(0, {scratch!r})
importlib.import_module({parent!r})
tracemalloc.start()
importlib.import_module({parent!r} + ".sealedset")
import_peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
unsealer = importlib.import_module({parent!r} + ".unsealer")
unsealer.get_population_density()  # pandas imports some of its parts on first use
gc.collect()
tracemalloc.start()
df = unsealer.get_population_density()
call_peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
del df
# Pages the process touches afresh per call: what the allocator's state costs beside the work.
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(20):
    unsealer.get_population_density()
faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) // 20
print(import_peak, call_peak, faults)
'''


# Runs in a fresh interpreter: both modules side by side, timed in alternating order, so that
# the machine's drift and the process's allocator state are the same for both.
PAIRED_CHILD = '''\
import importlib, json, statistics, sys, warnings
warnings.simplefilter("ignore")
sys.path[:0] = [{scratch!r}, {bench!r}]
import bench_modules as bench
ours = importlib.import_module({ours!r} + ".unsealer")
plain = importlib.import_module({plain!r} + ".unsealer")
timed = getattr(bench, {function!r})
for module in (ours, plain):
    timed({loops}, module)  # warm-up: pandas imports some of its parts on first use
times = {{ours: [], plain: []}}
for round in range({rounds}):
    for module in ((ours, plain) if round % 2 == 0 else (plain, ours)):
        times[module].append(timed({loops}, module) / {loops})
ratios = [a / b for a, b in zip(times[ours], times[plain])]
print(json.dumps([statistics.median(times[ours]), statistics.median(times[plain]),
                  statistics.median(ratios)]))
'''

PAIRED = {"end_to_end": ("time_end_to_end", 3, 20), "frame": ("time_frame", 20000, 20),
          "frame_python": ("time_frame_python", 20000, 20)}


def child(code, scratch, what):
    """The output of `code` run in a fresh interpreter; the run ends if it fails."""
    done = subprocess.run([sys.executable, "-I", "-c", code], cwd=scratch,
                          capture_output=True, text=True, env=QUIET_ENV)
    if done.returncode:
        sys.exit(f"{what} child failed:\n{done.stderr}")
    return done.stdout


def paired(scratch, kind, processes):
    """Median per-call times and the median of per-round ratios, one value per process."""
    function, loops, rounds = PAIRED[kind]
    code = PAIRED_CHILD.format(scratch=scratch, bench=str(pathlib.Path(__file__).parent),
                               ours=OURS, plain=PLAIN, function=function, loops=loops,
                               rounds=rounds)
    values = [json.loads(child(code, scratch, "paired")) for _ in range(processes)]
    ratios = sorted(v[2] for v in values)
    return {"ours": sorted(v[0] for v in values)[processes // 2],
            "plain": sorted(v[1] for v in values)[processes // 2],
            "ratio": ratios[processes // 2], "ratio_min": ratios[0], "ratio_max": ratios[-1],
            "processes": processes, "loops": loops, "rounds": rounds}


def make_plain(scratch):
    """Writes the plain package into `scratch` and compiles it to cached bytecode."""
    package = pathlib.Path(scratch) / PLAIN
    package.mkdir(parents=True, exist_ok=True)
    sources = {
        "__init__.py": "",
        "sealedset.py": "data = %r\n" % TOKEN.read_bytes(),
        "unsealer.py": PLAIN_UNSEALER.format(key=KEY),
    }
    for name, text in sources.items():
        path = package / name
        path.write_text(text)
        py_compile.compile(str(path), doraise=True)
    return package


def table_stream():
    """A stream like the one sealedset keeps from 3.12 on: its constants joined, deflated at 9."""
    return zlib.compress(b"data" + TOKEN.read_bytes() + b"__test__", 9)


# Timed functions; pyperf calls each with a loop count and takes the seconds it returns.

def time_import(loops, scratch, parent):
    code = IMPORT_CHILD.format(scratch=scratch, parent=parent)
    return sum(float(child(code, scratch, "import")) for _ in range(loops))


def time_end_to_end(loops, module):
    get = module.get_population_density
    start = time.perf_counter()
    for _ in itertools.repeat(None, loops):
        get()
    return time.perf_counter() - start


# Stand-ins for the frame alone. Builtins do no work of their own, so only our side of each
# call is left; Python functions add a frame each, which the interpreter enters inline from a
# plain module's code from 3.11 on but a C caller must enter afresh.
PLAINTEXT = b"a,b\n1,2\n"
BUILTIN_STANDINS = {
    "Fernet": {KEY: types.SimpleNamespace(decrypt={b"token": PLAINTEXT}.get)}.get,
    "pd": types.SimpleNamespace(read_csv=operator.methodcaller("getvalue")),
    "data": b"token",
}


class StubCipher:
    def decrypt(self, token):
        return PLAINTEXT


STUB_CIPHER = StubCipher()
PYTHON_STANDINS = {
    "Fernet": lambda key: STUB_CIPHER,
    "pd": types.SimpleNamespace(read_csv=lambda stream: stream.getvalue()),
    "data": b"token",
}


def time_frame(loops, module, standins=BUILTIN_STANDINS):
    saved = {name: getattr(module, name) for name in standins}
    for name, value in standins.items():
        setattr(module, name, value)
    try:
        decrypt = module.decrypt_txt_to_df
        assert decrypt(KEY) == PLAINTEXT.decode()
        start = time.perf_counter()
        for key in itertools.repeat(KEY, loops):
            decrypt(key)
        return time.perf_counter() - start
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


def time_frame_python(loops, module):
    return time_frame(loops, module, PYTHON_STANDINS)


def time_argument_error(loops, module):
    decrypt = module.decrypt_txt_to_df
    start = time.perf_counter()
    for _ in itertools.repeat(None, loops):
        try:
            decrypt()
        except TypeError:
            pass
    return time.perf_counter() - start


def pyperf_main():
    """One pyperf run: the group of benchmarks named by --group."""
    import importlib
    import warnings

    warnings.simplefilter("ignore")  # cryptography's notice on 3.8, in every worker

    import pyperf

    def forward(cmd, args):
        cmd.extend(["--group", args.group, "--scratch", args.scratch])

    runner = pyperf.Runner(values=3, processes=6, add_cmdline_args=forward)
    runner.argparser.add_argument("--group", choices=["import", "calls"], required=True)
    runner.argparser.add_argument("--scratch", required=True)
    args = runner.parse_args()
    sys.path.insert(0, args.scratch)

    if args.group == "import":
        for side, parent in (("ours", OURS), ("plain", PLAIN)):
            runner.bench_time_func(f"import/{side}", time_import, args.scratch, parent)
        return

    stream = table_stream()
    runner.bench_func("inflate/table", zlib.decompress, stream)
    modules = {"ours": importlib.import_module(OURS + ".unsealer"),
               "plain": importlib.import_module(PLAIN + ".unsealer")}
    for kind, func in (("end_to_end", time_end_to_end), ("frame", time_frame),
                       ("argument_error", time_argument_error)):
        for side, module in modules.items():
            runner.bench_time_func(f"{kind}/{side}", func, module)


def figures(path):
    """{benchmark name: {mean, std, values}} from a pyperf JSON file, in seconds."""
    import pyperf

    out = {}
    for bench in pyperf.BenchmarkSuite.load(str(path)).get_benchmarks():
        values = bench.get_values()
        out[bench.get_name()] = {"mean": bench.mean(), "std": bench.stdev() if len(values) > 1 else 0.0,
                                 "values": len(values)}
    return out


def machine():
    def run(*command):
        try:
            return subprocess.run(command, capture_output=True, text=True).stdout
        except OSError:
            return ""

    lscpu = "\n".join(run("lscpu").splitlines()[:10])
    pretty = ""
    try:
        for line in pathlib.Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                pretty = line.split("=", 1)[1].strip('"')
    except OSError:
        pass
    return {"lscpu": lscpu, "nproc": run("nproc").strip() or str(os.cpu_count()),
            "os": f"{pretty} ({platform.system()} {platform.release()})".strip()}


def memory(scratch, parent, runs=3):
    """Median tracemalloc peaks (import, call) over `runs` fresh interpreters."""
    code = MEMORY_CHILD.format(scratch=scratch, parent=parent)
    peaks = [[int(x) for x in child(code, scratch, "memory").split()] for _ in range(runs)]
    median = lambda i: sorted(p[i] for p in peaks)[runs // 2]  # noqa: E731
    return {"import_peak": median(0), "call_peak": median(1), "faults_per_call": median(2)}


def driver():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--import-loops", type=int, default=10,
                        help="fresh interpreters per pyperf value of the import benchmarks")
    parser.add_argument("--paired-processes", type=int, default=9,
                        help="fresh interpreters for the side-by-side timings")
    parser.add_argument("--output", type=pathlib.Path,
                        help="result file (default bench/results/<python version>.json)")
    parser.add_argument("--keep-scratch", action="store_true")
    parser.add_argument("--verbose", action="store_true", help="keep pyperf's stability warnings")
    args, pyperf_args = parser.parse_known_args()
    if not args.verbose:
        pyperf_args.append("--quiet")

    import warnings

    warnings.simplefilter("ignore")  # cryptography's notice on 3.8
    from cryptography.fernet import Fernet

    token = TOKEN.read_bytes()
    plaintext = Fernet(KEY).decrypt(token)
    version = "%d.%d.%d" % sys.version_info[:3]
    output = args.output or RESULTS / f"{version}.json"
    scratch = tempfile.mkdtemp(prefix="korvane-bench-")
    try:
        make_plain(scratch)
        results = {}
        groups = (("import", ["--loops", str(args.import_loops)]), ("calls", []))
        for group, extra in groups:
            out = pathlib.Path(scratch) / f"{group}.json"
            command = [sys.executable, str(pathlib.Path(__file__).resolve()), "--group", group,
                       "--scratch", scratch, "-o", str(out), "--inherit-environ",
                       ",".join(QUIET), *extra, *pyperf_args]
            print(f"== {group}", flush=True)
            if subprocess.run(command, cwd=scratch, env=QUIET_ENV).returncode:
                sys.exit(f"pyperf run of {group} failed")
            results.update(figures(out))
        print("== paired", flush=True)
        pairs = {kind: paired(scratch, kind, args.paired_processes) for kind in PAIRED}
        print("== memory", flush=True)
        peaks = {"ours": memory(scratch, OURS), "plain": memory(scratch, PLAIN)}
        stream = table_stream()
    finally:
        if not args.keep_scratch:
            shutil.rmtree(scratch, ignore_errors=True)

    report = {
        "python": version,
        "implementation": platform.python_implementation(),
        "compressed_table": sys.version_info >= (3, 12),
        "token_bytes": len(token),
        "plaintext_bytes": len(plaintext),
        "table_stream_bytes": len(stream),
        "pyperf_args": pyperf_args,
        "import_loops": args.import_loops,
        "timings": results,
        "paired": pairs,
        "memory": peaks,
        "machine": machine(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
    }
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(json.dumps(report, indent=2) + "\n")
    summary(report)
    print(f"wrote {output}")


def summary(report):
    t = report["timings"]
    print(f"CPython {report['python']}: ours, plain, ratio (mean +- std)")
    for kind, unit, scale in (("import", "ms", 1e3), ("end_to_end", "ms", 1e3),
                              ("frame", "ns", 1e9), ("argument_error", "ns", 1e9)):
        ours, plain = t[f"{kind}/ours"], t[f"{kind}/plain"]
        print(f"  {kind:15} {ours['mean'] * scale:9.3f} +- {ours['std'] * scale:7.3f}"
              f" {plain['mean'] * scale:9.3f} +- {plain['std'] * scale:7.3f} {unit}"
              f"  {ours['mean'] / plain['mean']:6.3f}")
    for kind, pair in report["paired"].items():
        print(f"  {kind + ', paired':15} {pair['ours'] * 1e9:9.0f} ns {pair['plain'] * 1e9:9.0f} ns"
              f"  {pair['ratio']:6.3f} ({pair['ratio_min']:.3f} to {pair['ratio_max']:.3f})")
    inflate = t["inflate/table"]
    print(f"  inflate of a {report['table_stream_bytes']}-byte table stream:"
          f" {inflate['mean'] * 1e3:.3f} +- {inflate['std'] * 1e3:.3f} ms")
    size = report["plaintext_bytes"]
    for side, peaks in report["memory"].items():
        print(f"  {side:5} peak: import {peaks['import_peak'] / size:.2f}x,"
              f" call {peaks['call_peak'] / size:.2f}x the plaintext ({size} bytes);"
              f" {peaks['faults_per_call']} page faults a call")


if __name__ == "__main__":
    if "--group" in sys.argv or "--worker" in sys.argv:
        pyperf_main()
    else:
        driver()
