"""Imports both modules and calls each function under valgrind memcheck.

    python tools/memcheck.py [valgrind options, e.g. --gen-suppressions=all]

Run it with an interpreter that has korvane installed (python3 -m nox -s memcheck makes one
with debug information). Exits 0 when valgrind reports nothing, 1 when an error points at our
libraries, 2 when only something else is reported: the interpreter or a dependency, which
gets a commented suppression in tools/valgrind.supp once it is understood to be theirs.
Leaks are not counted: the interpreter does not free everything at exit, and the test suite
measures what a call keeps.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPRESSIONS = os.path.join(HERE, "valgrind.supp")
OURS = ("/korvane/src/utils/sealedset.", "/korvane/src/utils/unsealer.")
# Frames in these only pass on what their caller handed them, unless they are running Python
# code: an error below the evaluation loop belongs to the code it runs.
PASS_THROUGH = ("/libpython", "/python3", "/libc.so", "/libm.so", "/ld-linux", "vgpreload_")
EVALUATION = "_PyEval_EvalFrameDefault"
VALGRIND_FAILED = 99

# The success path, the wrong-key path and the argument errors of each function.
DRIVER = textwrap.dedent("""
    import traceback
    from cryptography.fernet import Fernet, InvalidToken
    from korvane.src.utils import sealedset, unsealer

    KEY = b"Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="
    assert isinstance(sealedset.data, bytes) and sealedset.data
    assert len(unsealer.get_population_density()) > 0
    assert len(unsealer.decrypt_txt_to_df(KEY)) > 0
    assert len(unsealer.decrypt_txt_to_df(key=KEY)) > 0
    FAILING = [
        (InvalidToken, lambda: unsealer.decrypt_txt_to_df(Fernet.generate_key())),
        (ValueError, lambda: unsealer.decrypt_txt_to_df(b"not a key")),
        (TypeError, lambda: unsealer.decrypt_txt_to_df()),
        (TypeError, lambda: unsealer.decrypt_txt_to_df(KEY, KEY)),
        (TypeError, lambda: unsealer.decrypt_txt_to_df(KEY, key=KEY)),
        (TypeError, lambda: unsealer.decrypt_txt_to_df(kee=KEY)),
        (TypeError, lambda: unsealer.get_population_density(1)),
        (TypeError, lambda: unsealer.get_population_density(key=KEY)),
    ]
    for expected, call in FAILING * 2:
        try:
            call()
        except expected as error:
            traceback.format_exception(type(error), error, error.__traceback__)
        else:
            raise SystemExit(f"no {expected.__name__}")
    print("driver done")
""")


def frames(error, which=0):
    """The frames of the error's stack, or with which=1 of where an uninitialised value came from."""
    stacks = error.findall("stack")
    if len(stacks) <= which:
        return []
    return [(frame.findtext("obj") or "", frame.findtext("fn") or "??", frame.findtext("file"),
             frame.findtext("line")) for frame in stacks[which].findall("frame")]


def caused_by_us(stack):
    """Whether our code made the call that failed, directly or through the C API."""
    for obj, fn, _, _ in stack:
        if any(part in obj for part in OURS):
            return True
        if fn == EVALUATION or not any(part in obj for part in PASS_THROUGH):
            return False
    return False


def is_ours(error):
    """Ours when our code did the access, or allocated the uninitialised value it read."""
    return caused_by_us(frames(error)) or caused_by_us(frames(error, 1))


def describe(error):
    lines = [f"{error.findtext('kind')}: {error.findtext('what') or error.findtext('xwhat/text')}"]
    for which, limit in ((0, 20), (1, 8)):
        if which:
            lines.append(f"  {error.findtext('auxwhat') or 'origin'}:")
        for obj, fn, file, line in frames(error, which)[:limit]:
            where = f"{file}:{line}" if file else os.path.basename(obj)
            lines.append(f"    {fn}  ({where})")
    return "\n".join(lines)


def main():
    if not shutil.which("valgrind"):
        print("memcheck: valgrind is needed (apt-get install valgrind)", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as work:
        driver = os.path.join(work, "driver.py")
        with open(driver, "w") as out:
            out.write(DRIVER)
        report = os.path.join(work, "memcheck.xml")
        command = [
            # The XML report lists leaks even without a leak check unless they are hidden.
            "valgrind", "--tool=memcheck", "--leak-check=no", "--show-leak-kinds=none",
            "--errors-for-leak-kinds=none", "--num-callers=50",
            "--track-origins=yes", f"--suppressions={SUPPRESSIONS}",
            f"--error-exitcode={VALGRIND_FAILED}", "--xml=yes", f"--xml-file={report}",
            *sys.argv[1:], sys.executable, driver,
        ]
        # Every allocation through malloc, so that memcheck sees each object on its own.
        env = dict(os.environ, PYTHONMALLOC="malloc")
        done = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True)
        if not os.path.exists(report):
            print(done.stderr, "memcheck: valgrind did not run", sep="\n", file=sys.stderr)
            return 1
        errors = [error for error in ET.parse(report).getroot().findall("error")
                  if not error.findtext("kind", "").startswith("Leak_")]

    if "driver done" not in done.stdout:
        print(done.stdout, done.stderr, sep="\n", file=sys.stderr)
        print("memcheck: the driver did not finish", file=sys.stderr)
        return 1
    ours = [error for error in errors if is_ours(error)]
    for error in errors:
        print(("OURS " if error in ours else "NOT OURS ") + describe(error), end="\n\n")
    print(f"memcheck: {len(errors)} error(s), {len(ours)} in our libraries")
    if ours:
        return 1
    if errors or done.returncode == VALGRIND_FAILED:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
