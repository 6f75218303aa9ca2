"""What a call leaves behind: no files opened, no memory kept, a clean interpreter exit."""

import sys

import pytest

from conftest import KEY, SANITIZED


def test_a_call_opens_no_file(run_py):
    done = run_py("""
        import sys
        from korvane.src.utils import unsealer
        unsealer.get_population_density()   # lets pandas finish its lazy imports
        opened = []
        sys.addaudithook(lambda event, args: event == "open" and opened.append(args[0]))
        unsealer.get_population_density()
        print(opened)
    """)
    assert done.stdout.strip() == "[]"


# pandas' TextReader keeps one small object per read_csv call on 3.8 to 3.10; the same job done
# by a plain Python module grows alike, so there the success path reads through a stand-in.
OLD_PANDAS_LEAK = sys.version_info < (3, 11)
STAND_IN = "unsealer.pd = types.SimpleNamespace(read_csv=lambda stream: stream.read())"

CALLS = {
    "success": ("unsealer.decrypt_txt_to_df(KEY)", STAND_IN if OLD_PANDAS_LEAK else ""),
    "success through get_population_density": ("unsealer.get_population_density()", STAND_IN),
    "wrong key": ("unsealer.decrypt_txt_to_df(Fernet.generate_key())", ""),
    "argument error": ("unsealer.decrypt_txt_to_df()", ""),
    "no-argument error": ("unsealer.get_population_density(1)", ""),
    "missing global": ("unsealer.get_population_density()", "del unsealer.decrypt_txt_to_df"),
}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runs use PYTHONMALLOC=malloc, under which "
                    "sys.getallocatedblocks() is always 0")
@pytest.mark.parametrize("call, setup", CALLS.values(), ids=CALLS.keys())
def test_calls_keep_no_memory(run_py, call, setup):
    done = run_py(f"""
        import gc, sys, types
        from cryptography.fernet import Fernet
        from korvane.src.utils import unsealer
        KEY = {KEY!r}
        unsealer.data = Fernet(KEY).encrypt(b"a,b\\n1,2\\n")
        {setup}
        def run(n):
            for _ in range(n):
                try:
                    {call}
                except Exception:
                    pass
            gc.collect()
            return sys.getallocatedblocks()
        run(50)
        base = run(1)
        print(run(500) - base, run(500) - base)
    """)
    first, second = map(int, done.stdout.split())
    # pandas' caches drift by a few blocks a batch; a leak of one block a call would add 500.
    assert second - first < 250


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer keeps freed memory in quarantine")
def test_resident_memory_stays_flat(run_py):
    done = run_py("""
        import os
        from korvane.src.utils import unsealer
        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGESIZE")
        def run(n):
            for _ in range(n):
                unsealer.get_population_density()
            return resident()
        run(5)
        base = run(20)
        print(run(20) - base, run(20) - base)
    """)
    growth = [int(value) for value in done.stdout.split()]
    # Keeping the plaintext of each call would add 15 MB a batch.
    assert max(growth) < 8 * 2**20, growth


def test_interpreter_exits_cleanly_after_failures(run_py):
    done = run_py("""
        import sys
        sys.modules["pandas"] = None
        try:
            import korvane.src.utils.unsealer
        except ImportError:
            pass
        else:
            raise SystemExit("imported although pandas is blocked")
        del sys.modules["pandas"]
        from korvane.src.utils import unsealer
        unsealer.get_population_density()
    """)
    # cryptography warns on 3.8 that its support for 3.8 is deprecated; nothing else may appear.
    noise = [line for line in done.stderr.splitlines() if "CryptographyDeprecationWarning" not in line
             and "from cryptography" not in line]
    assert done.returncode == 0 and noise == []
