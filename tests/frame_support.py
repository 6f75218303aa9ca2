"""The test-only module frametest: its name, and loading it in a fresh interpreter."""

from conftest import AT_LEAST_3_12, FRAMETEST, frametest_path, load_code

DOTTED = FRAMETEST
# Which of the interpreter's behaviours the frame must reproduce.
VARIANT = "3.12" if AT_LEAST_3_12 else "3.8"


def prelude(build):
    """Source that defines load() -> frametest, for fresh interpreters."""
    return load_code(frametest_path(build), DOTTED)


def module_entries(error):
    """(name, file, line) of the traceback entries that frametest added."""
    entries = []
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith(DOTTED + "."):
            entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries
