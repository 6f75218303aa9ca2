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


CALLS = {
    "success": "unsealer.decrypt_txt_to_df(KEY)",
    "wrong key": "unsealer.decrypt_txt_to_df(Fernet.generate_key())",
    "argument error": "unsealer.decrypt_txt_to_df()",
    "no-argument error": "unsealer.get_population_density(1)",
    "missing global": "unsealer.get_population_density()",
}


@pytest.mark.skipif(sys.version_info < (3, 11), reason="before 3.11, in the nox environments, "
                    "two of these paths grow about 1.5 blocks a call while the same code run as a "
                    "script stays flat; not yet explained")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer runs use PYTHONMALLOC=malloc, under which "
                    "sys.getallocatedblocks() is always 0")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_calls_keep_no_memory(run_py, call):
    done = run_py(f"""
        import gc, sys
        from cryptography.fernet import Fernet
        from korvane.src.utils import unsealer
        KEY = {KEY!r}
        unsealer.data = Fernet(KEY).encrypt(b"a,b\\n1,2\\n")
        if "missing" in {call!r}:
            del unsealer.decrypt_txt_to_df
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
