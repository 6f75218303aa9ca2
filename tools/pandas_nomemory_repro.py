"""pandas.read_csv under one failed allocation, without korvane: a reproduction for pandas.

    python tools/pandas_nomemory_repro.py [--start N] [--stop N]

Parses a two-line CSV from an io.StringIO, as korvane's decrypt_txt_to_df does, with allocation
N + 1 failing (the interpreter's _testcapi.set_nomemory), for every N in a child forked from a
warmed-up process. A child must end in an exception and then parse again; the script lists the
N whose child died by a signal (or, under valgrind --error-exitcode, had a memory error)
instead, and exits 1 when there is one.

On CPython 3.11 with pandas 3.1.2 some N die with SIGSEGV: when the PyList_Append in
TextReader._categorical_convert_options (pandas/_libs/parsers.pyx, reached from
_maybe_infer_categoricals) fails, the error path releases a str it no longer owns: the str is
freed, then decremented again, which writes into the freed block and breaks pymalloc's free
list; the next allocation of that size crashes, wherever it is. See README, "Allocation failures
inside pandas", for the commands that show it under gdb and valgrind.

NOMEMORY_NO_FORK=1 with --start N runs the single N in this process, for a debugger.
"""

import argparse
import gc
import io
import os
import sys

import _testcapi
import pandas

CSV = "a,b\n1,2\n"


def parse():
    return pandas.read_csv(io.StringIO(CSV))


def attempt(n):
    _testcapi.set_nomemory(n, n + 1)
    try:
        parse()
    except Exception:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    gc.collect()
    assert parse().to_dict("list") == {"a": [1], "b": [2]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--stop", type=int, default=1500)
    args = parser.parse_args()
    parse()
    parse()  # pandas imports and caches lazily on first use
    if os.environ.get("NOMEMORY_NO_FORK"):
        attempt(args.start)
        return 0
    crashed = []
    for n in range(args.start, args.stop):
        pid = os.fork()
        if pid == 0:
            os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
            attempt(n)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            crashed.append(n)
            print(f"N={n}: killed by signal {os.WTERMSIG(status)}", flush=True)
        elif os.WEXITSTATUS(status):  # under valgrind --error-exitcode: an error in this child
            crashed.append(n)
            print(f"N={n}: child {pid} exit status {os.WEXITSTATUS(status)}", flush=True)
    print(f"pandas {pandas.__version__}, Python {sys.version.split()[0]}: "
          f"{len(crashed)} of {args.stop - args.start} failed allocations break the process")
    return 1 if crashed else 0


if __name__ == "__main__":
    sys.exit(main())
